// orvo._orvo: the compiled core of the Python package. Converts numpy arrays
// to and from the library's images and regions, calls the public C++ API
// with the interpreter lock released for the long computations, and turns
// the library's exceptions into Python ones. The package around it
// (python/orvo) checks keyword arguments and paths and documents the API.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/pybind11.h>

#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "orvo/orvo.h"
#include "python/batch_binding.h"

namespace py = pybind11;

namespace {

// A private copy of an image array: uint8 or uint16, H x W or H x W x C with
// C 1, 3 or 4. The copy makes the data safe to use without the interpreter
// lock whatever the caller does with the array meanwhile, and accepts
// arrays of any strides.
cv::Mat image_from_array(const py::array& array)
{
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
    if (array.shape(0) == 0 || array.shape(1) == 0) throw py::value_error("the image is empty");
    if (array.shape(0) > INT_MAX || array.shape(1) > INT_MAX) throw py::value_error("the image is too large");

    const py::array contiguous = py::array::ensure(array, py::array::c_style);
    const int depth = eight_bit ? CV_8U : CV_16U;
    cv::Mat image(static_cast<int>(array.shape(0)), static_cast<int>(array.shape(1)),
                  CV_MAKETYPE(depth, static_cast<int>(channels)));
    std::memcpy(image.data, contiguous.data(), image.total() * image.elemSize());
    return image;
}

py::array_t<std::uint8_t> array_from_image(const cv::Mat& image)
{
    std::vector<py::ssize_t> shape{image.rows, image.cols};
    if (image.channels() != 1) shape.push_back(image.channels());
    py::array_t<std::uint8_t> array(shape);
    const cv::Mat continuous = image.isContinuous() ? image : image.clone();
    std::memcpy(array.mutable_data(), continuous.data, continuous.total() * continuous.elemSize());
    return array;
}

using RegionArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

std::vector<orvo::Region> regions_from_array(const RegionArray& array)
{
    if (array.ndim() != 2 || array.shape(1) != 5)
        throw py::value_error("regions must be an (N, 5) array of rows x y a b c");
    std::vector<orvo::Region> regions(static_cast<std::size_t>(array.shape(0)));
    const double* values = array.data();
    for (orvo::Region& r : regions) {
        r = {values[0], values[1], values[2], values[3], values[4]};
        values += 5;
    }
    return regions;
}

py::array_t<double> array_from_regions(const std::vector<orvo::Region>& regions)
{
    py::array_t<double> array({static_cast<py::ssize_t>(regions.size()), py::ssize_t(5)});
    double* values = array.mutable_data();
    for (const orvo::Region& r : regions) {
        values[0] = r.x, values[1] = r.y, values[2] = r.a, values[3] = r.b, values[4] = r.c;
        values += 5;
    }
    return array;
}

// The detector's options as keyword values, and back.
py::dict options_dict(const orvo::DetectorOptions& o)
{
    py::dict d;
    d["threshold"] = o.threshold;
    d["scale"] = o.scale;
    d["edge_step"] = o.edge_step;
    d["min_area_growth"] = o.min_area_growth;
    d["min_area"] = o.min_area;
    d["max_area"] = o.max_area;
    d["threads"] = o.threads;
    d["edge_steps"] = py::tuple(py::cast(o.edge_steps));
    d["duplicate_overlap"] = o.duplicate_overlap;
    return d;
}

py::array_t<double> detect(const py::array& array, double threshold, double scale, int edge_step,
                           double min_area_growth, double min_area, double max_area, int threads,
                           const std::vector<int>& edge_steps, double duplicate_overlap)
{
    orvo::DetectorOptions options;
    options.threshold = threshold;
    options.scale = scale;
    options.edge_step = edge_step;
    options.min_area_growth = min_area_growth;
    options.min_area = min_area;
    options.max_area = max_area;
    options.threads = threads;
    options.edge_steps = edge_steps;
    options.duplicate_overlap = duplicate_overlap;
    options.validate();
    const cv::Mat image = image_from_array(array);
    std::vector<orvo::Region> regions;
    {
        py::gil_scoped_release unlocked;
        regions = orvo::detect(image, options);
    }
    return array_from_regions(regions);
}

py::array_t<std::uint8_t> describe(const py::array& array, const RegionArray& region_array)
{
    const std::vector<orvo::Region> regions = regions_from_array(region_array);
    const cv::Mat image = image_from_array(array);
    cv::Mat descriptors;
    {
        py::gil_scoped_release unlocked;
        descriptors = orvo::describe(image, regions);
    }
    py::array_t<std::uint8_t> result({static_cast<py::ssize_t>(regions.size()), py::ssize_t(orvo::DESCRIPTOR_SIZE)});
    if (!regions.empty()) {
        const cv::Mat continuous = descriptors.isContinuous() ? descriptors : descriptors.clone();
        std::memcpy(result.mutable_data(), continuous.data, regions.size() * orvo::DESCRIPTOR_SIZE);
    }
    return result;
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
        PyErr_SetString(PyExc_OSError, e.what());
        throw py::error_already_set();
    }
}

orvo::Region region_from_row(const py::sequence& row)
{
    if (py::len(row) != 5) throw py::value_error("a region is five numbers x y a b c");
    return {row[0].cast<double>(), row[1].cast<double>(), row[2].cast<double>(), row[3].cast<double>(),
            row[4].cast<double>()};
}

// The C++ conversions of one region, for checking the vectorised ones.
py::tuple to_keypoint(const py::sequence& row)
{
    const cv::KeyPoint k = orvo::to_keypoint(region_from_row(row));
    return py::make_tuple(k.pt.x, k.pt.y, k.size, k.angle);
}

py::array_t<double> to_affine_frame(const py::sequence& row)
{
    const cv::Matx23d frame = orvo::to_affine_frame(region_from_row(row));
    py::array_t<double> result({py::ssize_t(2), py::ssize_t(3)});
    std::memcpy(result.mutable_data(), frame.val, sizeof frame.val);
    return result;
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
            image_error(e.what());
        } catch (const orvo::RegionFileError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });

    m.attr("DESCRIPTOR_SIZE") = orvo::DESCRIPTOR_SIZE;
    m.attr("ORVO_FILE_OFFSET") = orvo::ORVO_FILE_OFFSET;
    m.attr("MAX_IMAGE_PIXELS") = orvo::MAX_IMAGE_PIXELS;

    m.def("detect", &detect, py::arg("image"), py::arg("threshold"), py::arg("scale"), py::arg("edge_step"),
          py::arg("min_area_growth"), py::arg("min_area"), py::arg("max_area"), py::arg("threads"),
          py::arg("edge_steps"), py::arg("duplicate_overlap"),
          "Regions (N, 5) of an image array with every detector option given.");
    m.def("default_options", [] { return options_dict(orvo::DetectorOptions()); },
          "The detector's options and their defaults.");
    m.def("dense_options", [] { return options_dict(orvo::DetectorOptions::dense()); },
          "The options of the dense preset.");
    m.def("describe", &describe, py::arg("image"), py::arg("regions"),
          "Descriptors (N, 128) uint8 of the regions as given.");
    m.def("draw_into", &draw_into, py::arg("image"), py::arg("regions"),
          "Draws the regions into a writeable H x W x 3 uint8 array.");
    m.def("read_image", &read_image, py::arg("path"), "The image of a file, as the detector reads it.");
    m.def("read_regions", &read_regions, py::arg("path"), py::arg("offset"), "Regions (N, 5) of a region file.");
    m.def("write_regions", &write_regions, py::arg("path"), py::arg("regions"), py::arg("offset"),
          "Writes a region file.");
    m.def("to_keypoint", &to_keypoint, py::arg("region"), "(x, y, size, angle) of one region's KeyPoint.");
    m.def("to_affine_frame", &to_affine_frame, py::arg("region"), "The 2 x 3 affine frame of one region.");
    register_batch_functions(m);
}
