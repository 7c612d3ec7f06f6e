// Detection over an image pyramid: the image and copies of it reduced step
// by step, each detected on its own, their regions given in the image's
// coordinates.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "orvo/region.h"

namespace orvo::detail {

// A region found on a reduced copy whose pixels are factor_x by factor_y of
// the image's, in the image's 0-based coordinates (pixel centres map onto
// pixel centres' positions: x -> (x + 1/2) factor_x - 1/2).
Region region_on_image(const Region& r, double factor_x, double factor_y);

// One image of the pyramid, its pixels factor_x by factor_y of the image's.
struct pyramid_level {
    cv::Mat grey;
    double factor_x = 1, factor_y = 1;
};

// `grey` itself and up to levels - 1 copies, each `step` times smaller than
// the one before (area averaging). The pyramid ends early at a copy shorter
// than 32 pixels on a side.
std::vector<pyramid_level> reduced_copies(const cv::Mat& grey, int levels, double step);

}  // namespace orvo::detail
