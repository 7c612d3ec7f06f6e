// orvo._orvo's batch functions: orvo-batch's own core (inputs, output names,
// clash checks, the options record, extracting one image into its files),
// so that orvo.dask plans and writes exactly what orvo-batch does. Paths go
// both ways as bytes, so that any file name the system allows passes.
#include "python/batch_binding.h"

#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "batch/extract.h"
#include "batch/inputs.h"
#include "batch/manifest.h"
#include "batch/outputs.h"
#include "python/detector_options.h"

using namespace orvo::batch;

namespace py = pybind11;
using orvo::detail::options_of_dict;
using orvo::detail::setting;

namespace {

// {"detector": {...}, "sift": bool, "format": "orvo" | "colmap", "force":
// bool} as batch options writing under `out_dir`.
batch_options options_from_dict(const py::dict& settings, const std::string& out_dir)
{
    batch_options options;
    options.detector = options_of_dict(settings["detector"]);
    const std::string format = setting<std::string>(settings, "format");
    if (format != "orvo" && format != "colmap")
        throw py::value_error("format must be 'orvo' or 'colmap', not '" + format + "'");
    options.format = format == "colmap" ? output_format::colmap : output_format::orvo;
    options.sift = setting<bool>(settings, "sift");
    options.force = setting<bool>(settings, "force");
    options.output_dir = out_dir;
    return options;
}

py::list entries_list(const std::vector<image_entry>& images)
{
    py::list list;
    for (const image_entry& image : images) list.append(py::make_tuple(py::bytes(image.path), image.mirror_from));
    return list;
}

std::vector<image_entry> collect(const std::vector<std::string>& inputs)
{
    try {
        py::gil_scoped_release unlocked;
        return collect_images(inputs);
    } catch (const input_error& e) {
        PyErr_SetString(PyExc_OSError, e.what());
        throw py::error_already_set();
    }
}

// Checks the options, collects the images, refuses clashing outputs and
// outputs made with other options, and records the options: the images to
// extract, as (path, mirror_from).
py::list prepare(const std::vector<std::string>& inputs, const std::string& out_dir, const py::dict& settings)
{
    const batch_options options = options_from_dict(settings, out_dir);
    const std::string refusal = options_refusal(options);
    if (!refusal.empty()) throw py::value_error(refusal);
    const std::vector<image_entry> images = collect(inputs);
    std::string clashes;
    for (const std::string& clash : clash_messages(images, options)) clashes += (clashes.empty() ? "" : "\n") + clash;
    if (!clashes.empty()) throw py::value_error(clashes + "\ngive each image its own output");
    const std::string conflict = manifest_conflict(images, options);
    if (!conflict.empty())
        throw py::value_error(conflict + ": pass force=True to redo them with these options, or another out_dir");
    const std::string unrecorded = record_manifests(images, options);
    if (!unrecorded.empty()) {
        PyErr_SetString(PyExc_OSError, ("unable to record the options: " + unrecorded).c_str());
        throw py::error_already_set();
    }
    return entries_list(images);
}

// ("done" | "skipped" | "failed", regions, reason) of one image.
py::tuple extract(const std::string& path, std::size_t mirror_from, const std::string& out_dir,
                  const py::dict& settings)
{
    const batch_options options = options_from_dict(settings, out_dir);
    if (mirror_from > path.size()) throw py::value_error("mirror_from lies beyond the path");
    image_outcome outcome;
    {
        py::gil_scoped_release unlocked;
        outcome = extract_image({path, mirror_from}, options);
    }
    const char* status = outcome.status == image_status::done      ? "done"
                         : outcome.status == image_status::skipped ? "skipped"
                                                                   : "failed";
    return py::make_tuple(status, outcome.regions, outcome.reason);
}

}  // namespace

void register_batch_functions(py::module_& module)
{
    module.def("batch_collect", [](const std::vector<std::string>& inputs) { return entries_list(collect(inputs)); },
               py::arg("inputs"), "(path, mirror_from) of every image of orvo-batch's INPUTs (bytes paths).");
    module.def("batch_prepare", &prepare, py::arg("inputs"), py::arg("out_dir"), py::arg("options"),
               "Checks and records a batch's options and plans its images: (path, mirror_from) each.");
    module.def("batch_extract", &extract, py::arg("path"), py::arg("mirror_from"), py::arg("out_dir"),
               py::arg("options"), "Extracts one image of a batch: (status, regions, reason).");
}
