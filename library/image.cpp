// Image files for the library's callers, read by the shared image input.
#include "orvo/image.h"

#include <new>

#include "io/image_input.h"
#include "orvo/errors.h"

namespace orvo {
namespace {

cv::Mat image_or_throw(detail::image_read read, const std::string& name)
{
    switch (read.failure) {
    case detail::image_failure::none: return std::move(read.image);
    case detail::image_failure::out_of_memory: throw std::bad_alloc();
    case detail::image_failure::truncated: throw ImageError(ImageError::Kind::Truncated, name + ": " + read.reason);
    case detail::image_failure::too_large: throw ImageError(ImageError::Kind::TooLarge, name + ": " + read.reason);
    case detail::image_failure::unreadable: break;
    }
    throw ImageError(ImageError::Kind::Unreadable, name + ": " + read.reason);
}

}  // namespace

static_assert(MAX_IMAGE_PIXELS == detail::MAX_IMAGE_PIXELS, "one pixel limit");

cv::Mat read_image(const std::string& path)
{
    return image_or_throw(detail::read_image_file(path), path);
}

cv::Mat decode_image(const unsigned char* data, std::size_t size)
{
    return image_or_throw(detail::decode_image(data, size), "image data");
}

}  // namespace orvo
