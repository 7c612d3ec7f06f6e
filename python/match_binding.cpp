// orvo._orvo's matching: numpy images or described features in, the
// verified matches out as a dict of arrays, and their drawing. The
// interpreter lock is released while matching; python/orvo/matching.py
// checks the arguments and wraps the dict.
#include "python/match_binding.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "orvo/orvo.h"
#include "python/detector_options.h"
#include "python/image_arrays.h"
#include "python/region_arrays.h"

namespace py = pybind11;
using orvo::detail::array_from_regions;
using orvo::detail::image_from_array;
using orvo::detail::regions_from_array;
using orvo::detail::RegionArray;

namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

// A private copy of a 2-D uint8 or float32 array, safe to use without the
// interpreter lock.
cv::Mat descriptors_of(const py::array& array)
{
    if (array.ndim() != 2) throw py::value_error("descriptors must be an (N, D) array");
    const bool bytes = py::isinstance<py::array_t<std::uint8_t>>(array);
    if (!bytes && !py::isinstance<py::array_t<float>>(array))
        throw py::type_error("descriptors must hold uint8 or float32 values");
    if (!(array.flags() & py::array::c_style)) throw py::value_error("descriptors must be C-contiguous");
    return cv::Mat(static_cast<int>(array.shape(0)), static_cast<int>(array.shape(1)), bytes ? CV_8U : CV_32F,
                   const_cast<void*>(array.data()))
        .clone();
}

std::vector<float> orientations_of(const FloatArray& array)
{
    if (array.ndim() != 1) throw py::value_error("orientations must be an (N,) array");
    return std::vector<float>(array.data(), array.data() + array.shape(0));
}

cv::Matx33d matrix_of(const DoubleArray& array)
{
    if (array.ndim() != 2 || array.shape(0) != 3 || array.shape(1) != 3)
        throw py::value_error("an intrinsic matrix must be 3 x 3");
    cv::Matx33d m;
    std::memcpy(m.val, array.data(), sizeof m.val);
    return m;
}

py::array_t<std::int64_t> indices_of(const std::vector<int>& values)
{
    py::array_t<std::int64_t> array(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), array.mutable_data());
    return array;
}

// The matching options of the keyword values python/orvo/matching.py
// passes on: the matcher's own, the cameras' intrinsics (K2 by default
// K1's) and the threads of every stage; not yet validated.
orvo::MatchOptions matching_options(const py::dict& given, const std::optional<DoubleArray>& K1,
                                    const std::optional<DoubleArray>& K2, const std::string& caller)
{
    orvo::MatchOptions options = orvo::detail::match_options_of(given, caller);
    if (K1) options.K1 = matrix_of(*K1);
    options.K2 = K2 ? matrix_of(*K2) : options.K1;
    return options;
}

py::dict result_dict(const orvo::MatchResult& result)
{
    py::dict out;
    if (result.model) {
        py::array_t<double> m({py::ssize_t(3), py::ssize_t(3)});
        std::memcpy(m.mutable_data(), result.model->val, 9 * sizeof(double));
        out["model"] = m;
    } else {
        out["model"] = py::none();
    }
    py::array_t<bool> inliers(static_cast<py::ssize_t>(result.inliers.size()));
    for (std::size_t k = 0; k < result.inliers.size(); ++k) inliers.mutable_data()[k] = result.inliers[k];
    out["inliers"] = inliers;
    out["index1"] = indices_of(result.index1);
    out["index2"] = indices_of(result.index2);
    out["regions1"] = array_from_regions(result.regions1);
    out["regions2"] = array_from_regions(result.regions2);
    out["distances"] = py::array_t<double>(static_cast<py::ssize_t>(result.distances.size()), result.distances.data());
    out["ratios"] = py::array_t<double>(static_cast<py::ssize_t>(result.ratios.size()), result.ratios.data());
    const orvo::MatchCounts& n = result.counts;
    out["counts"] = py::dict(py::arg("regions1") = n.regions1, py::arg("regions2") = n.regions2,
                             py::arg("tentative") = n.tentative, py::arg("inliers") = n.inliers,
                             py::arg("hypotheses") = n.hypotheses);
    const orvo::MatchTimes& t = result.times;
    out["times"] = py::dict(py::arg("detect") = t.detect, py::arg("describe") = t.describe,
                            py::arg("match") = t.match, py::arg("verify") = t.verify);
    return out;
}

py::dict match_features(const DoubleArray& regions1, const py::array& descriptors1, const FloatArray& orientations1,
                        const DoubleArray& regions2, const py::array& descriptors2, const FloatArray& orientations2,
                        const py::dict& given, const std::optional<DoubleArray>& K1,
                        const std::optional<DoubleArray>& K2, const py::object& threads)
{
    orvo::MatchOptions options = matching_options(given, K1, K2, "match_features");
    options.detector.threads = orvo::detail::whole_of("match_features", "threads", threads);
    options.validate();
    const std::vector<orvo::Region> r1 = regions_from_array(regions1), r2 = regions_from_array(regions2);
    const std::vector<float> o1 = orientations_of(orientations1), o2 = orientations_of(orientations2);
    const cv::Mat d1 = descriptors_of(descriptors1), d2 = descriptors_of(descriptors2);
    orvo::MatchResult result;
    {
        py::gil_scoped_release unlocked;
        result = orvo::match_features(r1, d1, o1, r2, d2, o2, options);
    }
    return result_dict(result);
}

// Detection, description, matching and verification of two image arrays,
// the detector's options in a dict as options_dict gives them.
py::dict match(const py::array& array1, const py::array& array2, const py::dict& detector, const py::dict& given,
               const std::optional<DoubleArray>& K1, const std::optional<DoubleArray>& K2)
{
    orvo::MatchOptions options = matching_options(given, K1, K2, "match");
    options.detector = orvo::detail::options_of_dict(detector);
    options.validate();
    const cv::Mat image1 = image_from_array(array1), image2 = image_from_array(array2);
    orvo::MatchResult result;
    {
        py::gil_scoped_release unlocked;
        result = orvo::match(image1, image2, options);
    }
    return result_dict(result);
}

// The drawing of matches over two 8-bit BGR images (H x W x 3, C-contiguous).
py::array_t<std::uint8_t> draw_matches(const py::array_t<std::uint8_t>& image1,
                                       const py::array_t<std::uint8_t>& image2, const DoubleArray& regions1,
                                       const DoubleArray& regions2, const py::array_t<bool>& inliers,
                                       bool with_outliers)
{
    const auto bgr = [](const py::array_t<std::uint8_t>& a) {
        if (a.ndim() != 3 || a.shape(2) != 3 || !(a.flags() & py::array::c_style))
            throw py::value_error("draw_matches needs C-contiguous H x W x 3 uint8 images");
        return cv::Mat(static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1)), CV_8UC3,
                       const_cast<std::uint8_t*>(a.data()));
    };
    orvo::MatchResult result;
    result.regions1 = regions_from_array(regions1);
    result.regions2 = regions_from_array(regions2);
    if (inliers.ndim() != 1 || static_cast<std::size_t>(inliers.shape(0)) != result.regions1.size() ||
        result.regions1.size() != result.regions2.size())
        throw py::value_error("draw_matches needs as many inlier flags as matched regions in each image");
    result.inliers.assign(inliers.data(), inliers.data() + inliers.shape(0));
    const cv::Mat drawing = orvo::draw_matches(bgr(image1), bgr(image2), result, with_outliers);
    py::array_t<std::uint8_t> out({py::ssize_t(drawing.rows), py::ssize_t(drawing.cols), py::ssize_t(3)});
    std::memcpy(out.mutable_data(), drawing.data, drawing.total() * drawing.elemSize());
    return out;
}

}  // namespace

void register_match_functions(py::module_& m)
{
    m.def("match_features", &match_features, py::arg("regions1"), py::arg("descriptors1"),
          py::arg("orientations1"), py::arg("regions2"), py::arg("descriptors2"), py::arg("orientations2"),
          py::arg("options"), py::arg("K1"), py::arg("K2"), py::arg("threads"),
          "Verified matches of described features, as a dict.");
    m.def("match", &match, py::arg("image1"), py::arg("image2"), py::arg("detector"), py::arg("options"),
          py::arg("K1"), py::arg("K2"),
          "Verified matches of two image arrays, detected with the options of a dict, as a dict.");
    m.def(
        "check_match_options",
        [](const py::dict& given, const std::string& caller) {
            orvo::MatchOptions options = matching_options(given, std::nullopt, std::nullopt, caller);
            options.validate();
        },
        py::arg("given"), py::arg("caller"), "Raises TypeError or ValueError naming a bad matching option.");
    m.def("match_defaults", [] { return orvo::detail::match_options_dict(orvo::MatchOptions()); },
          "The matcher's own options and their defaults.");
    m.def("draw_matches", &draw_matches, py::arg("image1"), py::arg("image2"), py::arg("regions1"),
          py::arg("regions2"), py::arg("inliers"), py::arg("with_outliers"),
          "Both BGR images side by side with the matches drawn.");
}
