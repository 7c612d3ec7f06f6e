// orvo/image.h: reading image files as the detector reads them.
//
// An image is read as stored: colour channels blue first, EXIF orientation
// ignored (coordinates refer to the stored pixels), 8 bits per channel, one
// channel for grey files and three otherwise. Files that are not regular
// files, are corrupt or truncated, or whose header claims more than
// MAX_IMAGE_PIXELS pixels are refused (before their pixels are allocated).
//
//   cv::Mat image = orvo::read_image("photo.jpg");  // throws orvo::ImageError
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <string>

#include "orvo/export.h"

namespace orvo {

// 2^27 pixels, about 134 megapixels.
constexpr std::size_t MAX_IMAGE_PIXELS = std::size_t(1) << 27;

// Throws orvo::ImageError when the file cannot be read, std::bad_alloc when
// memory runs out.
ORVO_EXPORT cv::Mat read_image(const std::string& path);

// The same for an encoded image in memory.
ORVO_EXPORT cv::Mat decode_image(const unsigned char* data, std::size_t size);

}  // namespace orvo
