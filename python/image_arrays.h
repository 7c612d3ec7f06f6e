// Images between numpy and the library, for every binding file of the
// module.
#pragma once

#include <pybind11/numpy.h>

#include <cstring>
#include <opencv2/core.hpp>
#include <string>

#include "orvo/image.h"

namespace orvo::detail {

// A private copy of an image array: uint8 or uint16, H x W or H x W x C with
// C 1, 3 or 4. The copy makes the data safe to use without the interpreter
// lock whatever the caller does with the array meanwhile; it is made
// straight from the array's strides (a broadcast or sliced view is never
// expanded first), after the size has been checked against the library's
// pixel limit.
inline cv::Mat image_from_array(const pybind11::array& array)
{
    namespace py = pybind11;
    const bool eight_bit = py::isinstance<py::array_t<std::uint8_t>>(array);
    const bool sixteen_bit = py::isinstance<py::array_t<std::uint16_t>>(array);
    if (!eight_bit && !sixteen_bit)
        throw py::type_error("the image must hold uint8 or uint16 samples, not " +
                             std::string(py::str(array.dtype())));
    if (array.ndim() != 2 && array.ndim() != 3)
        throw py::value_error("the image must be H x W or H x W x C, not an array of " +
                              std::to_string(array.ndim()) + " dimensions");
    const py::ssize_t channels = array.ndim() == 3 ? array.shape(2) : 1;
    if (channels != 1 && channels != 3 && channels != 4)
        throw py::value_error("the image must have 1, 3 or 4 channels, not " + std::to_string(channels));
    const py::ssize_t rows = array.shape(0), cols = array.shape(1);
    if (rows == 0 || cols == 0) throw py::value_error("the image is empty");
    if (static_cast<std::size_t>(rows) > orvo::MAX_IMAGE_PIXELS / static_cast<std::size_t>(cols))
        throw py::value_error("the image has " + std::to_string(rows) + " x " + std::to_string(cols) +
                              " pixels, more than the limit of " + std::to_string(orvo::MAX_IMAGE_PIXELS) +
                              " (2^27)");

    const int depth = eight_bit ? CV_8U : CV_16U;
    cv::Mat image(static_cast<int>(rows), static_cast<int>(cols), CV_MAKETYPE(depth, static_cast<int>(channels)));
    const std::size_t sample = image.elemSize1();
    const char* source = static_cast<const char*>(array.data());
    const py::ssize_t row_stride = array.strides(0), col_stride = array.strides(1);
    const py::ssize_t channel_stride = array.ndim() == 3 ? array.strides(2) : 0;
    const bool pixels_packed = col_stride == static_cast<py::ssize_t>(image.elemSize()) &&
                               (channels == 1 || channel_stride == static_cast<py::ssize_t>(sample));
    for (py::ssize_t r = 0; r < rows; ++r) {
        const char* row = source + r * row_stride;
        auto* target = image.ptr<unsigned char>(static_cast<int>(r));
        if (pixels_packed) {
            std::memcpy(target, row, static_cast<std::size_t>(cols) * image.elemSize());
            continue;
        }
        for (py::ssize_t c = 0; c < cols; ++c)
            for (py::ssize_t k = 0; k < channels; ++k, target += sample)
                std::memcpy(target, row + c * col_stride + k * channel_stride, sample);
    }
    return image;
}

}  // namespace orvo::detail
