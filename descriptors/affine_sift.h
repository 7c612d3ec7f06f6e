// Affine-invariant SIFT descriptors of elliptical regions.
//
// Each region is mapped onto a circle (by the inverse square root of its
// matrix) and sampled into a normalised patch from the pyramid level that
// keeps the sampling from aliasing; the patch's dominant gradient
// orientation is measured, the patch is sampled again turned to it, and
// described by a 4 x 4 grid of 8-bin histograms of gradient orientations
// (see gradient_histograms.h). Regions are independent: they are shared
// among threads, and each thread writes its descriptors straight into the
// result.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "descriptors/gradient_histograms.h"
#include "orvo/region.h"

namespace orvo::detail {

// Whether the region's patch can be sampled: both semi-axes from
// MIN_SEMI_AXIS to MAX_SEMI_AXIS pixels and the centre at most MAX_CENTRE
// pixels from the origin. A smaller ellipse falls between the pixels (its
// patch is one interpolated value, with no gradient to describe); a larger
// or farther one takes its samples beyond the range the image warp
// addresses exactly.
constexpr double MIN_SEMI_AXIS = 1e-3, MAX_SEMI_AXIS = 1e7, MAX_CENTRE = 1e7;
bool can_sample_patch(const Region& region);

// One row of DESCRIPTOR_LENGTH values (CV_8U) per region, in region order,
// computed on up to `threads` threads (the values do not depend on it).
// `grey` is an 8-bit single-channel image; every region must pass
// can_sample_patch. When `orientations` is given, it receives each region's
// dominant orientation: the image direction (radians in [0, 2 pi), y down)
// of the turned patch's x axis.
cv::Mat describe_regions(const cv::Mat& grey, const std::vector<Region>& regions, std::vector<float>* orientations,
                         int threads);

}  // namespace orvo::detail
