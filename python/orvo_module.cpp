// orvo._orvo: the compiled core of the Python package. Converts numpy arrays
// to and from the library's images and regions, calls the public C++ API
// with the interpreter lock released for the long computations, and turns
// the library's exceptions into Python ones. The package around it
// (python/orvo) checks keyword arguments and paths and documents the API.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvo/orvo.h"
#include "python/batch_binding.h"
#include "python/match_binding.h"
#include "library/measurement_region.h"
#include "python/detector_options.h"
#include "python/image_arrays.h"
#include "python/region_arrays.h"

namespace py = pybind11;
using orvo::detail::array_from_regions;
using orvo::detail::image_from_array;
using orvo::detail::regions_from_array;
using orvo::detail::RegionArray;
using orvo::detail::options_dict;
using orvo::detail::options_of_dict;

namespace {

py::array_t<std::uint8_t> array_from_image(const cv::Mat& image)
{
    std::vector<py::ssize_t> shape{image.rows, image.cols};
    if (image.channels() != 1) shape.push_back(image.channels());
    py::array_t<std::uint8_t> array(shape);
    const cv::Mat continuous = image.isContinuous() ? image : image.clone();
    std::memcpy(array.mutable_data(), continuous.data, continuous.total() * continuous.elemSize());
    return array;
}

// Raises `type` with the library's message, whatever bytes it holds (a file
// name or a file's content that is not UTF-8 is shown escaped).
void set_error(PyObject* type, const char* what)
{
    PyObject* message = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "backslashreplace");
    if (!message) return;  // the decoding's own error (MemoryError) stands
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

// (name, value name, default, help) of every detector option, for the
// docstrings.
py::list option_help()
{
    py::list rows;
    const orvo::DetectorOptions defaults;
    for (const orvo::detail::detector_option& option : orvo::detail::detector_option_table())
        rows.append(py::make_tuple(option.name, option.value_name, orvo::detail::value_text(option, defaults),
                                   option.help));
    return rows;
}

// The regions (N, 5), and with `with_strengths` also their strengths (N,)
// float64: a tuple of both.
py::object detect(const py::array& array, const py::dict& option_values, bool with_strengths)
{
    const orvo::DetectorOptions options = options_of_dict(option_values);
    const cv::Mat image = image_from_array(array);
    std::vector<orvo::Region> regions;
    {
        py::gil_scoped_release unlocked;
        regions = orvo::detect(image, options);
    }
    if (!with_strengths) return array_from_regions(regions);
    py::array_t<double> strengths(static_cast<py::ssize_t>(regions.size()));
    double* values = strengths.mutable_data();
    for (const orvo::Region& r : regions) *values++ = r.strength;
    return py::make_tuple(array_from_regions(regions), strengths);
}

// The descriptors (N, 128) uint8 of the regions, and with `with_orientations`
// also their dominant orientations (N,) float32 radians: a tuple of both.
py::object describe(const py::array& array, const RegionArray& region_array, bool with_orientations)
{
    const std::vector<orvo::Region> regions = regions_from_array(region_array);
    const cv::Mat image = image_from_array(array);
    cv::Mat descriptors;
    std::vector<float> orientations;
    {
        py::gil_scoped_release unlocked;
        descriptors = orvo::describe(image, regions, with_orientations ? &orientations : nullptr);
    }
    const auto count = static_cast<py::ssize_t>(regions.size());
    py::array_t<std::uint8_t> result({count, py::ssize_t(orvo::DESCRIPTOR_SIZE)});
    if (!regions.empty()) {
        const cv::Mat continuous = descriptors.isContinuous() ? descriptors : descriptors.clone();
        std::memcpy(result.mutable_data(), continuous.data, regions.size() * orvo::DESCRIPTOR_SIZE);
    }
    if (!with_orientations) return std::move(result);
    py::array_t<float> angles(count);
    std::copy(orientations.begin(), orientations.end(), angles.mutable_data());
    return py::make_tuple(result, angles);
}

// Draws into `array` itself: an 8-bit H x W x 3 C-contiguous array.
void draw_into(py::array_t<std::uint8_t> array, const RegionArray& region_array)
{
    if (array.ndim() != 3 || array.shape(2) != 3 || !(array.flags() & py::array::c_style) || !array.writeable())
        throw py::value_error("draw_into needs a writeable C-contiguous H x W x 3 uint8 array");
    const std::vector<orvo::Region> regions = regions_from_array(region_array);
    cv::Mat image(static_cast<int>(array.shape(0)), static_cast<int>(array.shape(1)), CV_8UC3, array.mutable_data());
    orvo::draw(image, regions);
}

py::array_t<std::uint8_t> read_image(const std::string& path)
{
    cv::Mat image;
    {
        py::gil_scoped_release unlocked;
        image = orvo::read_image(path);
    }
    return array_from_image(image);
}

py::array_t<double> read_regions(const std::string& path, double offset)
{
    return array_from_regions(orvo::read_region_file(path, offset));
}

void write_regions(const std::string& path, const RegionArray& region_array, double offset)
{
    const std::vector<orvo::Region> regions = regions_from_array(region_array);
    try {
        orvo::write_region_file(path, regions, offset);
    } catch (const orvo::RegionFileError& e) {
        // Writing fails for reasons of the file system, not of the data.
        set_error(PyExc_OSError, e.what());
        throw py::error_already_set();
    }
}

// The conversions of region arrays: the library's own, row by row.

py::array_t<bool> valid_regions(const RegionArray& region_array)
{
    const std::vector<orvo::Region> regions = regions_from_array(region_array);
    py::array_t<bool> valid(static_cast<py::ssize_t>(regions.size()));
    bool* values = valid.mutable_data();
    for (const orvo::Region& r : regions) *values++ = orvo::is_valid(r);
    return valid;
}

// Whether each region's measurement region (the region grown by `scale`) can
// be described.
py::array_t<bool> describable_regions(const RegionArray& region_array, double scale)
{
    const std::vector<orvo::Region> regions = regions_from_array(region_array);
    py::array_t<bool> describable(static_cast<py::ssize_t>(regions.size()));
    bool* values = describable.mutable_data();
    for (const orvo::Region& r : regions) *values++ = orvo::detail::measurement_region(r, scale).has_value();
    return describable;
}

py::array_t<double> scale_regions(const RegionArray& region_array, double factor)
{
    return array_from_regions(orvo::scaled(regions_from_array(region_array), factor));
}

// Rows x y size angle, as float32 like cv::KeyPoint's fields.
py::array_t<float> keypoints(const RegionArray& region_array)
{
    const std::vector<orvo::Region> regions = regions_from_array(region_array);
    py::array_t<float> result({static_cast<py::ssize_t>(regions.size()), py::ssize_t(4)});
    float* values = result.mutable_data();
    for (const orvo::Region& r : regions) {
        const cv::KeyPoint k = orvo::to_keypoint(r);
        values[0] = k.pt.x, values[1] = k.pt.y, values[2] = k.size, values[3] = k.angle;
        values += 4;
    }
    return result;
}

py::array_t<double> affine_frames(const RegionArray& region_array)
{
    const std::vector<orvo::Region> regions = regions_from_array(region_array);
    py::array_t<double> result({static_cast<py::ssize_t>(regions.size()), py::ssize_t(2), py::ssize_t(3)});
    double* values = result.mutable_data();
    for (const orvo::Region& r : regions) {
        const cv::Matx23d frame = orvo::to_affine_frame(r);
        std::copy(frame.val, frame.val + 6, values);
        values += 6;
    }
    return result;
}

py::array_t<double> regions_from_frames(
    const py::array_t<double, py::array::c_style | py::array::forcecast>& frames)
{
    if (frames.ndim() != 3 || frames.shape(1) != 2 || frames.shape(2) != 3)
        throw py::value_error("frames must be an (N, 2, 3) array");
    std::vector<orvo::Region> regions(static_cast<std::size_t>(frames.shape(0)));
    const double* values = frames.data();
    for (std::size_t i = 0; i < regions.size(); ++i, values += 6) {
        try {
            regions[i] = orvo::from_affine_frame(cv::Matx23d(values));
        } catch (const std::invalid_argument&) {
            throw py::value_error("frame " + std::to_string(i) +
                                  " does not give a finite positive definite region (is it invertible and finite?)");
        }
    }
    return array_from_regions(regions);
}

}  // namespace

PYBIND11_MODULE(_orvo, m)
{
    m.doc() = "Compiled core of the orvo package; use the functions of the orvo package itself.";

    // Unreadable, corrupt, truncated or oversized image files: both an
    // OSError (it concerns a file) and a ValueError (its content is bad).
    static py::exception<orvo::ImageError> image_error(
        m, "ImageError", py::make_tuple(py::handle(PyExc_OSError), py::handle(PyExc_ValueError)));
    image_error.doc() = "An image file that cannot be read: unreadable, corrupt, truncated or too large.";
    py::register_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const orvo::ImageError& e) {
            set_error(image_error.ptr(), e.what());
        } catch (const orvo::RegionFileError& e) {
            set_error(PyExc_ValueError, e.what());
        } catch (const std::invalid_argument& e) {
            set_error(PyExc_ValueError, e.what());
        } catch (const cv::Exception& e) {
            set_error(e.code == cv::Error::StsNoMem ? PyExc_MemoryError : PyExc_RuntimeError, e.what());
        }
    });

    m.attr("DESCRIPTOR_SIZE") = orvo::DESCRIPTOR_SIZE;
    m.attr("ORVO_FILE_OFFSET") = orvo::ORVO_FILE_OFFSET;
    m.attr("MAX_IMAGE_PIXELS") = orvo::MAX_IMAGE_PIXELS;
    m.attr("MEASUREMENT_SCALE") = orvo::MEASUREMENT_SCALE;
    m.attr("COLMAP_PIXEL_ORIGIN") = orvo::COLMAP_PIXEL_ORIGIN;

    m.def("detect", &detect, py::arg("image"), py::arg("options"), py::arg("strengths") = false,
          "Regions (N, 5) of an image array with every detector option given in a dict (and their strengths (N,)).");
    m.def(
        "detector_options",
        [](bool dense, const py::dict& given, const std::string& caller) {
            return options_dict(orvo::detail::detector_options_of(dense, given, caller));
        },
        py::arg("dense"), py::arg("given"), py::arg("caller"),
        "Every detector option: the preset's, then the values given (TypeError or ValueError naming a bad one).");
    m.def("option_help", &option_help, "(name, value name, default, help) of every detector option.");
    m.def("default_options", [] { return options_dict(orvo::DetectorOptions()); },
          "The detector's options and their defaults.");
    m.def("dense_options", [] { return options_dict(orvo::DetectorOptions::dense()); },
          "The options of the dense preset.");
    m.def("describe", &describe, py::arg("image"), py::arg("regions"), py::arg("orientations"),
          "Descriptors (N, 128) uint8 of the regions as given; with orientations, a tuple with their orientations.");
    m.def("draw_into", &draw_into, py::arg("image"), py::arg("regions"),
          "Draws the regions into a writeable H x W x 3 uint8 array.");
    m.def("read_image", &read_image, py::arg("path"), "The image of a file, as the detector reads it.");
    m.def("read_regions", &read_regions, py::arg("path"), py::arg("offset"), "Regions (N, 5) of a region file.");
    m.def("write_regions", &write_regions, py::arg("path"), py::arg("regions"), py::arg("offset"),
          "Writes a region file.");
    m.def("valid_regions", &valid_regions, py::arg("regions"),
          "(N,) bool: whether each region is finite and positive definite.");
    m.def("describable_regions", &describable_regions, py::arg("regions"), py::arg("scale"),
          "(N,) bool: whether each region grown by scale can be described.");
    m.def("scale_regions", &scale_regions, py::arg("regions"), py::arg("factor"),
          "The regions grown by factor about their centres.");
    m.def("keypoints", &keypoints, py::arg("regions"), "(N, 4) float32 rows x y size angle of the KeyPoints.");
    m.def("affine_frames", &affine_frames, py::arg("regions"), "(N, 2, 3) upright affine frames [A | centre].");
    m.def("regions_from_frames", &regions_from_frames, py::arg("frames"), "Regions (N, 5) of (N, 2, 3) frames.");
    register_batch_functions(m);
    register_match_functions(m);
}
