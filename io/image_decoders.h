// The decoders behind decode_image, one per format family. Each returns the
// image exactly as the image library's reader (imread with IMREAD_COLOR |
// IMREAD_IGNORE_ORIENTATION) would, except that grey images keep one
// channel, and refuses truncated or corrupt data instead of filling it in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "io/image_input.h"

namespace orvo::detail {

// A refusal with its reason.
image_read failed_read(image_failure failure, const std::string& reason);

// The reason given for data that ends early or is corrupt, with the
// decoder's own words.
std::string truncated_reason(const std::string& detail);

// The header of a portable any-map (P1 to P6), read as the image library
// reads it: numbers separated by white space or '#' comments, and exactly
// one byte after the last number before the samples.
struct pnm_header {
    bool complete = false;      // false: the data ends inside the header
    bool valid = false;         // a well-formed header
    char kind = 0;              // '1' to '6'
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    int maxval = 1;
    std::size_t offset = 0;     // where the samples start
};
pnm_header read_pnm_header(const unsigned char* data, std::size_t size);

image_read decode_jpeg(const unsigned char* data, std::size_t size, std::size_t max_pixels);
image_read decode_png(const unsigned char* data, std::size_t size, std::size_t max_pixels);
image_read decode_pnm(const unsigned char* data, std::size_t size, std::size_t max_pixels);

// Any other format, through the image library's imdecode (loaded on first
// use); the caller has checked the header's pixel count already.
image_read decode_with_image_library(const unsigned char* data, std::size_t size);

}  // namespace orvo::detail
