// orvo/region.h: the elliptical region Orvo detects, and its conversions to
// the frames other tools use.
//
// A region is the set of points p with (p - centre)' M (p - centre) <= 1,
// M = [[a, b], [b, c]] positive definite. Centres are 0-based pixel
// coordinates: the centre of pixel (column 0, row 0) is (0, 0), as in
// OpenCV.
//
//   orvo::Region r{120.0, 80.0, 1 / 100.0, 0.0, 1 / 25.0};  // semi-axes 10 and 5
//   cv::KeyPoint k = orvo::to_keypoint(r);        // size 2 sqrt(50), angle 0
//   cv::Matx23d frame = orvo::to_affine_frame(r);  // maps the unit circle onto r
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "orvo/export.h"

namespace orvo {

// COLMAP places the centre of pixel (0, 0) at (0.5, 0.5): its coordinates
// are the 0-based ones plus this.
constexpr double COLMAP_PIXEL_ORIGIN = 0.5;

struct Region {
    double x = 0, y = 0;        // centre, 0-based pixels (x the column)
    double a = 0, b = 0, c = 0; // the matrix [[a, b], [b, c]]
    // How clearly the detector's selection kept it: its component's area
    // over the alpha at which the component merges (at least the threshold;
    // larger is stronger, comparable across edge steps and pyramid levels).
    // 0 for a region made otherwise. Not part of the shape: region files do
    // not hold it, and the conversions below keep it as it is.
    double strength = 0;
};

// Semi-axes (major first) and the major axis' angle in degrees, clockwise in
// image axes (y down), in [0, 180).
struct EllipseAxes {
    double major = 0, minor = 0, angle = 0;
};

// True when every value is finite and the matrix is positive definite.
ORVO_EXPORT bool is_valid(const Region& region);

ORVO_EXPORT EllipseAxes axes(const Region& region);

// The region grown by `factor` about its centre (its matrix divided by
// factor^2). Throws std::invalid_argument when the region is not valid,
// the factor not a positive finite number, or the grown region would not be
// finite and positive definite (a matrix that overflows or vanishes).
ORVO_EXPORT Region scaled(const Region& region, double factor);
ORVO_EXPORT std::vector<Region> scaled(const std::vector<Region>& regions, double factor);

// cv::KeyPoint: pt the centre, size the diameter of the circle of equal area
// (2 (ac - b^2)^(-1/4)), angle the major axis' in degrees in [0, 180),
// clockwise in image axes (0 for a circle): an ellipse is symmetric, so
// angles a half turn apart describe the same one; response the strength.
// Throws
// std::invalid_argument for a region that is not valid, or whose size or
// centre a KeyPoint's floats cannot hold (ac - b^2 overflows or vanishes).
ORVO_EXPORT cv::KeyPoint to_keypoint(const Region& region);

// The circle of a KeyPoint: radius size / 2, strength its response. Throws std::invalid_argument
// when that is not a valid region (a size that is not a positive finite
// number, or so small that its matrix overflows).
ORVO_EXPORT Region from_keypoint(const cv::KeyPoint& keypoint);

// The local affine frame [A | centre], A lower triangular with A A' = M^-1:
// it maps the unit circle onto the region's boundary (the upright frame of
// kornia's LAFs and COLMAP's affine keypoints, before their pixel origins).
// Throws std::invalid_argument for a region that is not valid, or whose
// ac - b^2 overflows or vanishes.
ORVO_EXPORT cv::Matx23d to_affine_frame(const Region& region);

// The region of any frame [A | centre] with A invertible: M = (A A')^-1.
// Throws std::invalid_argument when that is not a valid region.
ORVO_EXPORT Region from_affine_frame(const cv::Matx23d& frame);

// The rotated rectangle that bounds the ellipse along its axes, for
// cv::ellipse: size (2 major, 2 minor), angle of the major axis.
ORVO_EXPORT cv::RotatedRect to_rotated_rect(const Region& region);

}  // namespace orvo
