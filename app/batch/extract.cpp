// Extraction of one image into its output files.
#include "app/batch/extract.h"

#include <new>
#include <opencv2/core.hpp>
#include <vector>

#include "app/batch/colmap_text.h"
#include "app/batch/outputs.h"
#include "orvo/orvo.h"

namespace {

// COLMAP's features are described as `orvo -sift` describes them: each
// region grown by 3, its measurement region.
constexpr double MEASUREMENT_SCALE = 3.0;

// Writes the outputs of the detected regions; throws on failure.
void write_outputs(const cv::Mat& image, const std::vector<orvo::Region>& regions,
                   const std::vector<std::string>& outputs, const batch_options& options)
{
    if (options.format == output_format::colmap) {
        std::vector<cv::KeyPoint> keypoints;
        keypoints.reserve(regions.size());
        for (const orvo::Region& r : regions) keypoints.push_back(orvo::to_keypoint(r));
        const cv::Mat descriptors = orvo::describe(image, orvo::scaled(regions, MEASUREMENT_SCALE));
        const std::string failure = write_colmap_text(outputs[0], keypoints, descriptors);
        if (!failure.empty()) throw orvo::RegionFileError(outputs[0] + ": " + failure);
        return;
    }
    // With --sift the regions are already scaled by 3 (as orvo -sift scales
    // them) and are described at their true centres.
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

image_outcome extract_image(const image_entry& image, const batch_options& options)
{
    try {
        const std::vector<std::string> outputs = output_files(image, options);
        if (!options.force && outputs_up_to_date(image.path, outputs)) return {image_status::skipped, 0, ""};
        const cv::Mat pixels = orvo::read_image(image.path);
        const std::vector<orvo::Region> regions = orvo::detect(pixels, options.detector);
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
