// The format and pixel dimensions of an encoded image, read from the first
// bytes of the file alone, so that an image claiming too many pixels can be
// refused before any decoder allocates them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvo::detail {

enum class image_format {
    unknown,  // no signature this reader knows
    jpeg,
    png,
    pnm,      // binary grey or colour map (P5, P6)
    other,    // a format the image library decodes (BMP, TIFF, WebP, ...)
};

struct image_header {
    image_format format = image_format::unknown;
    bool complete = false;    // false: the data ends inside the header
    std::uint64_t width = 0;  // 0 when the header could not be read
    std::uint64_t height = 0;
};

// Reads the header of the image encoded in `data`. A recognised signature
// whose header is cut short gives complete == false; a recognised but
// malformed header gives zero dimensions.
image_header read_image_header(const unsigned char* data, std::size_t size);

}  // namespace orvo::detail
