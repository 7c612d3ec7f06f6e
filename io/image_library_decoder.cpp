// The formats decoded by the image library (BMP, TIFF, WebP, JPEG 2000, the
// other portable maps, Sun raster, Radiance HDR). Its codec module, with the
// many libraries it pulls in, is loaded only when such an image comes, so
// that programs reading JPEG, PNG and PNM files never pay for loading it.
#include <climits>
#include <dlfcn.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>  // the flags only: nothing is linked from it

#include "io/image_decoders.h"

namespace orvo::detail {

namespace {

// cv::imdecode(cv::InputArray buf, int flags).
using imdecode_function = cv::Mat (*)(const cv::_InputArray&, int);

imdecode_function image_library_imdecode()
{
    static const imdecode_function imdecode = [] {
        void* library = dlopen(ORVO_IMGCODECS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        return library ? reinterpret_cast<imdecode_function>(dlsym(library, "_ZN2cv8imdecodeERKNS_11_InputArrayEi"))
                       : nullptr;
    }();
    return imdecode;
}

}  // namespace

image_read decode_with_image_library(const unsigned char* data, std::size_t size)
{
    const imdecode_function imdecode = image_library_imdecode();
    if (imdecode == nullptr) return failed_read(image_failure::unreadable, "not a readable image (no decoder for its format)");
    if (size > INT_MAX) return failed_read(image_failure::unreadable, "not a readable image (a file over 2 GiB)");
    image_read result;
    try {
        const cv::Mat encoded(1, static_cast<int>(size), CV_8UC1, const_cast<unsigned char*>(data));
        result.image = imdecode(encoded, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) return failed_read(image_failure::out_of_memory, "out of memory");
        return failed_read(image_failure::unreadable, "not a readable image (" + e.msg + ")");
    }
    if (result.image.empty()) return failed_read(image_failure::unreadable, "not a readable image");
    return result;
}

}  // namespace orvo::detail
