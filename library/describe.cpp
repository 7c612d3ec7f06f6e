// Descriptors of regions through the affine SIFT stage.
#include "orvo/describe.h"

#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>

#include "descriptors/affine_sift.h"
#include "library/image_types.h"
#include "library/measurement_region.h"
#include "library/out_of_memory.h"

namespace orvo {

bool can_describe(const Region& region)
{
    return is_valid(region) && detail::can_sample_patch(region);
}

std::optional<Region> detail::measurement_region(const Region& region, double scale)
{
    try {
        const Region grown = scaled(region, scale);
        if (can_describe(grown)) return grown;
    } catch (const std::invalid_argument&) {
        // not a valid region, or one that cannot be grown so far
    }
    return std::nullopt;
}

cv::Mat describe(const cv::Mat& image, const std::vector<Region>& regions, std::vector<float>* orientations,
                 const DescriptorOptions& options)
{
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const Region& r = regions[i];
        if (!is_valid(r))
            throw std::invalid_argument("describe: region " + std::to_string(i) +
                                        " is not finite and positive definite");
        if (!can_describe(r))
            throw std::invalid_argument("describe: region " + std::to_string(i) +
                                        " cannot be described: its semi-axes must lie within [0.001, 1e7] pixels "
                                        "and its centre within 1e7 pixels of the origin");
    }
    const cv::Mat eight_bit = detail::to_eight_bit(image, "describe");
    return detail::translate_out_of_memory([&] {
        cv::Mat grey = eight_bit;
        if (eight_bit.channels() != 1)
            cv::cvtColor(eight_bit, grey, eight_bit.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
        return detail::describe_regions(grey, regions, orientations, options.threads);
    });
}

}  // namespace orvo
