// The image types the library accepts, and their 8-bit form.
#pragma once

#include <opencv2/core.hpp>

namespace orvo::detail {

// `image` as 8 bits per channel: 16-bit samples keep their high byte, as
// when such a file is read. Throws std::invalid_argument, naming `caller`,
// for an empty image or one that is not 8-bit or 16-bit with 1, 3 or 4
// channels. Shares the data of an 8-bit image.
cv::Mat to_eight_bit(const cv::Mat& image, const char* caller);

// `image` as 8-bit grey (colour as BGR or BGRA), checked as to_eight_bit
// checks it.
cv::Mat to_grey(const cv::Mat& image, const char* caller);

}  // namespace orvo::detail
