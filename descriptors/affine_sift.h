// Affine-invariant SIFT descriptors of elliptical regions.
//
// Each region is mapped to a circle (by the inverse square root of its
// matrix), resampled into a normalised patch (bilinear, borders replicated,
// from a pyramid level that keeps the resampling from aliasing), turned to
// its dominant gradient orientation, and described by OpenCV's SIFT: 4 x 4
// cells of 8 orientations with Gaussian weighting, clipped at 0.2,
// renormalised and quantised to 0..255. All patches of a batch sit side by
// side in one mosaic that SIFT describes in one call.
#pragma once

#include <opencv2/core.hpp>
#include <vector>


constexpr int DESCRIPTOR_LENGTH = 128;

// An elliptical region: centre (u, v) in pixels (u the column) and the
// matrix [[a b][b c]] of the points p with (p - centre)' M (p - centre) <= 1.
struct affine_region {
    double u, v, a, b, c;
};

// Whether the region's patch can be sampled: both semi-axes from
// MIN_SEMI_AXIS to MAX_SEMI_AXIS pixels and the centre at most MAX_CENTRE
// pixels from the origin. A smaller ellipse falls between the pixels (its
// patch is one interpolated value, with no gradient to describe); a larger
// or farther one takes its samples beyond the range the image warp
// addresses exactly.
constexpr double MIN_SEMI_AXIS = 1e-3, MAX_SEMI_AXIS = 1e7, MAX_CENTRE = 1e7;
bool can_sample(const affine_region& region);

// One row of 128 values (CV_8U) per region, in region order. `grey` is an
// 8-bit single-channel image; every region must pass can_sample. When
// `orientations` is given, it receives each region's dominant orientation:
// the image direction (radians in [0, 2 pi), y down) of the patch's first
// axis once the patch is turned.
cv::Mat compute_affine_sift(const cv::Mat& grey, const std::vector<affine_region>& regions,
                            std::vector<float>* orientations = nullptr);
