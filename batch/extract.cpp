// Extraction of one image into its output files.
#include "batch/extract.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <opencv2/core.hpp>
#include <stdexcept>
#include <vector>

#include "batch/colmap_text.h"
#include "batch/outputs.h"
#include "library/measurement_region.h"
#include "library/number_text.h"
#include "orvo/orvo.h"

namespace orvo::batch {

namespace {

// Why the region file could not hold a circle of `radius` pixels; "" when
// it could.
std::string circle_unwritable(double radius)
{
    const double a = 1.0 / (radius * radius);
    return orvo::unwritable_reason({{0, 0, a, 0, a}});
}

// Writes the outputs of the detected regions; throws on failure.
void write_outputs(const cv::Mat& image, const std::vector<orvo::Region>& regions,
                   const std::vector<std::string>& outputs, const batch_options& options)
{
    if (options.format == output_format::colmap) {
        // The features are the regions that can be described, as
        // AlphaFeatures gives them.
        std::vector<cv::KeyPoint> keypoints;
        std::vector<orvo::Region> measured;
        for (const orvo::Region& r : regions) {
            if (const auto grown = orvo::detail::measurement_region(r, options.detector.measurement_scale)) {
                keypoints.push_back(orvo::to_keypoint(r));
                measured.push_back(*grown);
            }
        }
        const cv::Mat descriptors = orvo::describe(image, measured);
        const std::string failure = write_colmap_text(outputs[0], keypoints, descriptors);
        if (!failure.empty()) throw orvo::RegionFileError(outputs[0] + ": " + failure);
        return;
    }
    // With the descriptor file the regions are already grown by the
    // measurement scale and are described at their true centres.
    if (options.sift)
        orvo::write_descriptor_file(outputs[1], regions, orvo::describe(image, regions));
    orvo::write_region_file(outputs[0], regions);
}

// Image errors name the image, which the report names already.
std::string without_prefix(const std::string& text, const std::string& prefix)
{
    return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
}

}  // namespace

orvo::DetectorOptions detection_options(const batch_options& options)
{
    orvo::DetectorOptions detector = options.detector;
    if (options.sift && options.format == output_format::orvo) detector.scale *= detector.measurement_scale;
    return detector;
}

std::string options_refusal(const batch_options& options)
{
    const orvo::DetectorOptions detector = detection_options(options);
    try {
        detector.validate();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    // The semi-axes a detected region can have, before scaling: from a
    // quarter of the side of the smallest component kept (a pixel at least)
    // to the side of the largest image read.
    int finest_step = detector.edge_step;
    for (const int step : detector.edge_steps) finest_step = std::min(finest_step, step);
    const double smallest = std::max(1.0, std::sqrt(detector.min_area) * finest_step / 4);
    const double largest = std::sqrt(static_cast<double>(orvo::MAX_IMAGE_PIXELS));
    const std::string smallest_unwritable = circle_unwritable(smallest * detector.scale);
    if (smallest_unwritable.empty() || circle_unwritable(largest * detector.scale).empty()) return "";
    return "the scale " + orvo::detail::shortest_text(detector.scale) + " leaves no region writable (a circle of " +
           orvo::detail::shortest_text(smallest) + " pixels: " + smallest_unwritable + ")";
}

image_outcome extract_image(const image_entry& image, const batch_options& options)
{
    try {
        const std::vector<std::string> outputs = output_files(image, options);
        if (!options.force && outputs_up_to_date(image.path, outputs)) return {image_status::skipped, 0, ""};
        const cv::Mat pixels = orvo::read_image(image.path);
        const std::vector<orvo::Region> regions = orvo::detect(pixels, detection_options(options));
        const std::string folders = make_output_folders(outputs);
        if (!folders.empty()) return {image_status::failed, 0, folders};
        write_outputs(pixels, regions, outputs, options);
        return {image_status::done, regions.size(), ""};
    } catch (const std::bad_alloc&) {
        return {image_status::failed, 0, "out of memory"};
    } catch (const cv::Exception& e) {
        return {image_status::failed, 0, e.code == cv::Error::StsNoMem ? "out of memory" : e.what()};
    } catch (const std::exception& e) {
        return {image_status::failed, 0, without_prefix(e.what(), image.path + ": ")};
    }
}

}  // namespace orvo::batch
