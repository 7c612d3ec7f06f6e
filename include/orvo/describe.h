// orvo/describe.h: affine-invariant SIFT descriptors of regions.
//
// Each region is mapped onto a circle (by the inverse square root of its
// matrix), resampled into a normalised patch, turned to its dominant
// gradient orientation and described by SIFT: 4 x 4 cells of 8 orientations,
// 128 values in 0..255.
//
//   auto regions = orvo::detect(image);
//   cv::Mat descriptors = orvo::describe(image, orvo::scaled(regions, orvo::MEASUREMENT_SCALE));
//
// Describing each region grown by MEASUREMENT_SCALE (its measurement region)
// is what `orvo -sift` does and what matches best.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "orvo/export.h"
#include "orvo/region.h"

namespace orvo {

constexpr int DESCRIPTOR_SIZE = 128;

// The factor by which a detected region is grown into the region its
// descriptor is measured on.
constexpr double MEASUREMENT_SCALE = 3.0;

// Whether a valid region's patch can be sampled: both semi-axes from 0.001
// to 10^7 pixels and the centre at most 10^7 pixels from the origin.
// Smaller ellipses fall between the pixels and would have no gradient to
// describe; larger or farther ones would be sampled beyond the range the
// image warp addresses exactly.
ORVO_EXPORT bool can_describe(const Region& region);

struct DescriptorOptions {
    // Worker threads (1: the calling thread only).
    int threads = 1;
};

// One row of DESCRIPTOR_SIZE values (CV_8U) per region, in region order.
// `image` as for detect. Throws std::invalid_argument when a region is not
// finite and positive definite or cannot be described (can_describe), or
// the image type is not supported.
//
// When `orientations` is given, it receives one angle per region: the
// dominant gradient orientation the descriptor was turned to, in radians in
// [0, 2 pi), in image axes (x right, y down, so clockwise on screen). The
// region's oriented frame F = A R(t), A as in to_affine_frame, is the one
// whose first column points along that angle; two matched regions give the
// local affine map F2 F1^-1 between their images.
//
// Results do not depend on options.threads.
ORVO_EXPORT cv::Mat describe(const cv::Mat& image, const std::vector<Region>& regions,
                             std::vector<float>* orientations = nullptr, const DescriptorOptions& options = {});

}  // namespace orvo
