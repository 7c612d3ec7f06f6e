// Coordinate changes that condition the linear model fits: points moved to
// their centroid and scaled to a mean distance of sqrt(2) from it.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "matching/affine_correspondence.h"

namespace orvo::detail {

// The similarity [[s, 0, -s cx], [0, s, -s cy], [0, 0, 1]] that normalises
// `points`; the identity when they all coincide.
cv::Matx33d normalising_similarity(const std::vector<cv::Vec2d>& points);

// An affine coordinate change N applied to a point.
cv::Vec2d apply(const cv::Matx33d& change, const cv::Vec2d& point);

// The 2 x 2 linear part of an affine coordinate change.
cv::Matx22d linear_part(const cv::Matx33d& change);

// The correspondence in changed coordinates: points N1 p1 and N2 p2, the
// affine map B2 L B1^-1 (B the linear parts), the region size scaled by
// sqrt |det B1|.
affine_correspondence transformed(const affine_correspondence& correspondence, const cv::Matx33d& change1,
                                 const cv::Matx33d& change2);

}  // namespace orvo::detail
