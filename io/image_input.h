// Reading input images, shared by every executable and the library.
//
// An image is read as stored: colour channels in blue-green-red order, EXIF
// orientation ignored (coordinates refer to the stored pixels), 16-bit
// samples reduced to their high byte, an alpha channel dropped. The result
// is an 8-bit image of three channels (BGR), or of one channel for a grey
// file (its three channels would be equal).
//
// The pixels are those cv::imread(path, IMREAD_COLOR |
// IMREAD_IGNORE_ORIENTATION) gives. JPEG, PNG and binary PGM/PPM files are
// decoded here with libjpeg and libpng; BMP, TIFF, WebP, JPEG 2000, the other
// portable maps, Sun raster and Radiance HDR by the image library, whose
// codec module is loaded only when such a file comes. Other formats are
// refused.
//
// A file is refused, with the reason, when it is not a regular file (a
// folder, a FIFO, a device: refused without blocking), cannot be opened or
// decoded, is truncated or corrupt (never filled in as the image library
// would), or claims more than MAX_IMAGE_PIXELS pixels in its header (read
// here for every format, before anything is allocated for its pixels).
// Nothing reaches standard error from the JPEG and PNG decoders.
//
//   image_read r = read_image_file("photo.jpg");
//   if (r.failure != image_failure::none) report(r.reason);
//   else use(r.image);
//
// Nothing here prints, exits or changes process-wide state.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <string>

namespace orvo::detail {

// The largest image read (in pixels): 2^27, about 134 megapixels, whose
// detection needs a few gigabytes.
constexpr std::size_t MAX_IMAGE_PIXELS = std::size_t(1) << 27;

enum class image_failure {
    none,
    unreadable,     // missing, not a regular file, not an image, or a bad header
    truncated,      // the data ends before the image does, or is corrupt
    too_large,      // the header claims more than the pixel limit
    out_of_memory,  // decoding could not allocate
};

struct image_read {
    cv::Mat image;                               // empty unless failure == none
    image_failure failure = image_failure::none;
    std::string reason;                          // what went wrong, for messages
};

// Reads and decodes the image file `path`.
image_read read_image_file(const std::string& path, std::size_t max_pixels = MAX_IMAGE_PIXELS);

// Decodes an encoded image held in memory.
image_read decode_image(const unsigned char* data, std::size_t size, std::size_t max_pixels = MAX_IMAGE_PIXELS);

}  // namespace orvo::detail
