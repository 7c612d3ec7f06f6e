// The inspector's pages as the executables write them: the page template
// of the Python package (python/orvo/inspector.html, embedded at build time)
// filled with the data as one JSON value and the images as JPEG data URIs,
// so that orvo --html, orvo-match --html and orvo.view write the same page.
#pragma once

#include <cstdio>
#include <functional>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "orvo/region.h"

namespace orvo::cli {

// `text` as a JSON string: quotes, backslashes and control characters
// escaped, '<' too, so that no text closes the page's script, and each byte
// that is not part of a UTF-8 character as Python's surrogate escape
// \udcXX (a file name of any bytes stays whole and the JSON valid).
std::string json_string(const std::string& text);

// One region as the JSON array [x, y, a, b, c].
void write_json_region(std::FILE* fp, const orvo::Region& region);

// An image (8-bit or 16-bit; grey, BGR or BGRA) as a JPEG data URI. Throws
// std::runtime_error with the reason when it cannot be encoded,
// std::bad_alloc when memory runs out.
std::string jpeg_data_uri(const cv::Mat& image);

// Writes the page: `write_data` writes the data (one JSON value) where the
// template takes it, and the images follow as the data URIs given.
void write_inspector_page(std::FILE* fp, const std::function<void(std::FILE*)>& write_data,
                          const std::vector<std::string>& image_uris);

// The data of the page of one image's regions: its name and size, the
// measurement scale, the regions (0-based centres).
void write_region_data(std::FILE* fp, const std::string& image_name, const cv::Size& size, double measurement_scale,
                       const std::vector<orvo::Region>& regions);


}  // namespace orvo::cli
