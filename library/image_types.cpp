// Checking and reducing the images given to the library.
#include "library/image_types.h"

#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>

namespace orvo::detail {

cv::Mat to_eight_bit(const cv::Mat& image, const char* caller)
{
    const std::string who(caller);
    if (image.empty()) throw std::invalid_argument(who + ": the image is empty");
    if (image.dims != 2) throw std::invalid_argument(who + ": the image must have two dimensions");
    const int channels = image.channels();
    if (channels != 1 && channels != 3 && channels != 4)
        throw std::invalid_argument(who + ": the image must have 1, 3 or 4 channels, not " + std::to_string(channels));
    if (image.depth() == CV_8U) return image;
    if (image.depth() != CV_16U)
        throw std::invalid_argument(who + ": the image must have 8-bit or 16-bit unsigned samples");
    cv::Mat reduced(image.rows, image.cols, CV_MAKETYPE(CV_8U, channels));
    const int width = image.cols * channels;
    for (int r = 0; r < image.rows; ++r) {
        const unsigned short* in = image.ptr<unsigned short>(r);
        unsigned char* out = reduced.ptr<unsigned char>(r);
        for (int i = 0; i < width; ++i) out[i] = static_cast<unsigned char>(in[i] >> 8);
    }
    return reduced;
}

cv::Mat to_grey(const cv::Mat& image, const char* caller)
{
    const cv::Mat eight_bit = to_eight_bit(image, caller);
    if (eight_bit.channels() == 1) return eight_bit;
    cv::Mat grey;
    cv::cvtColor(eight_bit, grey, eight_bit.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    return grey;
}

}  // namespace orvo::detail
