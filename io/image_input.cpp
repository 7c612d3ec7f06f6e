// Image reading: the header first (format, pixel count against the limit),
// then the format's decoder, each refusal given as a failure and a reason.
#include "io/image_input.h"

#include <new>

#include "io/image_decoders.h"
#include "io/image_header.h"
#include "io/regular_file.h"

namespace orvo::detail {

image_read failed_read(image_failure failure, const std::string& reason)
{
    image_read result;
    result.failure = failure;
    result.reason = reason;
    return result;
}

std::string truncated_reason(const std::string& detail)
{
    return "the image is truncated or corrupt (" + detail + ")";
}

image_read read_image_file(const std::string& path, std::size_t max_pixels)
{
    std::string bytes;
    std::string error;
    try {
        error = read_regular_file(path, bytes);
    } catch (const std::bad_alloc&) {
        return failed_read(image_failure::out_of_memory, "out of memory");
    }
    if (!error.empty()) return failed_read(image_failure::unreadable, "not a readable image (" + error + ")");
    return decode_image(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), max_pixels);
}

namespace {

image_read decode_checked(const unsigned char* data, std::size_t size, std::size_t max_pixels)
{
    const image_header header = read_image_header(data, size);
    if (header.format == image_format::unknown)
        return failed_read(image_failure::unreadable, "not a readable image (no known image format)");
    if (!header.complete) return failed_read(image_failure::truncated, truncated_reason("it ends inside its header"));
    if (header.width == 0 || header.height == 0)
        return failed_read(image_failure::unreadable, "not a readable image (a malformed header)");
    if (header.width > max_pixels || header.height > max_pixels || header.width * header.height > max_pixels)
        return failed_read(image_failure::too_large, std::to_string(header.width) + " x " + std::to_string(header.height) +
                                                         " pixels, more than the limit of " + std::to_string(max_pixels));
    switch (header.format) {
    case image_format::jpeg: return decode_jpeg(data, size, max_pixels);
    case image_format::png: return decode_png(data, size, max_pixels);
    case image_format::pnm: return decode_pnm(data, size, max_pixels);
    default: break;
    }
    image_read result = decode_with_image_library(data, size);
    // The image library may see other dimensions than the header did.
    if (result.failure == image_failure::none && result.image.total() > max_pixels)
        return failed_read(image_failure::too_large, "larger than the pixel limit");
    return result;
}

}  // namespace

image_read decode_image(const unsigned char* data, std::size_t size, std::size_t max_pixels)
{
    try {
        return decode_checked(data, size, max_pixels);
    } catch (const std::bad_alloc&) {
        return failed_read(image_failure::out_of_memory, "out of memory");
    } catch (const cv::Exception& e) {  // the image's allocation
        if (e.code == cv::Error::StsNoMem) return failed_read(image_failure::out_of_memory, "out of memory");
        return failed_read(image_failure::unreadable, "not a readable image (" + e.msg + ")");
    }
}

}  // namespace orvo::detail
