// JPEG encoding of 8-bit grey or BGR images in memory with libjpeg, for the
// pictures embedded in the inspector's pages (photographs: a fraction of a
// PNG's size).
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace orvo::detail {

// Encodes `image` (CV_8UC1 grey or CV_8UC3 blue-green-red) at `quality`
// (1 to 100) into `jpeg`. Returns an empty string on success, otherwise the
// reason for the failure. Throws std::bad_alloc when memory runs out.
std::string encode_jpeg(const cv::Mat& image, int quality, std::vector<unsigned char>& jpeg);

}  // namespace orvo::detail
