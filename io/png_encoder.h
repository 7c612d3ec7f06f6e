// PNG encoding of 8-bit BGR images in memory with libpng, with the settings
// the image library's PNG writer uses by default (filter "sub" on every row,
// zlib level 1 with the run-length strategy), so that the pixels read back
// are identical and, with the same libpng and zlib, so are the bytes.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace orvo::detail {

// Encodes `image` (CV_8UC3, blue-green-red) as an 8-bit RGB PNG into `png`.
// Returns an empty string on success, otherwise the reason for the failure.
// Throws std::bad_alloc when memory runs out.
std::string encode_png(const cv::Mat& image, std::vector<unsigned char>& png);

}  // namespace orvo::detail
