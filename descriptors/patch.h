// A region's normalised patch: the region mapped onto a circle, sampled from the pyramid level whose pixels are no
// larger than the patch's along the region's shorter axis, and smoothed.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "descriptors/image_pyramid.h"

namespace orvo::detail {

// Where a patch is sampled: the patch point at offset p from its centre
// shows the point centre + to_level p of the pyramid's level `level`.
struct patch_frame {
    int level = 0;
    cv::Point2d centre;
    cv::Matx22d to_level;
};

// The frame of the patch in which the region whose ellipse is centre + T
// (unit circle), T the inverse square root of its matrix, becomes the
// circle of `radius` pixels; `minor` is its shorter semi-axis. The level is
// the highest (up to `highest`) at which a patch pixel spans at least one
// level pixel along that axis.
patch_frame patch_frame_of(cv::Point2d centre, const cv::Matx22d& T, double minor, double radius, int highest);

// The level that patch_frame_of chooses, before limiting it to the pyramid.
int patch_level(double minor, double radius);

// The same frame turned by `angle` (radians): the patch's x axis then shows
// the direction T (cos angle, sin angle) of the image.
patch_frame turned(const patch_frame& frame, double angle);

// The radius of a Gaussian smoothing of `sigma`, round(3 sigma): the taps
// beyond would hold under 0.3 % of its weight.
constexpr int smoothing_radius(double sigma)
{
    return static_cast<int>(3 * sigma + 0.5);
}

// The taps (2 radius + 1, summing to 1) of a Gaussian smoothing.
std::vector<float> gaussian_taps(double sigma);

// The scratch rows of one thread's patches, allocated once.
struct patch_buffers {
    std::vector<float> samples, half_smoothed, smoothed;
};

// The orientation's patch: the square of half side ORIENTATION_HALF around
// the patch centre (row-major, in `buffers.smoothed`), smoothed by `taps`,
// the gaussian_taps of ORIENTATION_SMOOTHING; and the descriptor's, of half
// side DESCRIPTOR_HALF, smoothed by those of DESCRIPTOR_SMOOTHING (both
// followed by DESCRIPTOR_SLACK floats that hold nothing of use). Samples
// reach the half side plus the smoothing's radius, bilinear, the level's
// border pixels repeated beyond it.
const float* orientation_patch(const image_pyramid& pyramid, const patch_frame& frame, const std::vector<float>& taps,
                               patch_buffers& buffers);
const float* descriptor_patch(const image_pyramid& pyramid, const patch_frame& frame, const std::vector<float>& taps,
                              patch_buffers& buffers);

}  // namespace orvo::detail
