// COLMAP's text format for `colmap feature_importer`: one file per image,
// "<image file name>.txt".
//
//   N 128                      the number of features, the descriptor length
//   X Y SCALE ORIENTATION D1 ... D128
//
// X Y: the centre with COLMAP's half-pixel origin (0-based centre + 0.5);
// SCALE: the region's geometric-mean semi-axis (the KeyPoint's size / 2);
// ORIENTATION: the major axis' angle in radians, clockwise in image axes
// (the KeyPoint's angle). Numbers with six decimals, a point as the
// decimal separator whatever the locale.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace orvo::batch {

// Writes the file completely or not at all. `descriptors`: one CV_8U row of
// 128 values per keypoint. Returns "" or the reason for the failure.
std::string write_colmap_text(const std::string& path, const std::vector<cv::KeyPoint>& keypoints,
                              const cv::Mat& descriptors);

}  // namespace orvo::batch
