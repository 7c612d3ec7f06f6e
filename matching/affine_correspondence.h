// Affine correspondences: two matched regions with oriented frames give, near
// the first centre, the local affine map between the images.
//
// A region (p - c)' M (p - c) <= 1 has the upright frame A, the lower
// Cholesky factor of M^-1 (A A' = M^-1), which maps the unit circle onto the
// ellipse. Turned by the descriptor's dominant orientation it becomes the
// oriented frame F = A R(t), whose first column points along that
// orientation in the image. Two matched regions with oriented frames F1, F2
// give L = F2 F1^-1: the map from image 1 to image 2 near c1.
#pragma once

#include <opencv2/core.hpp>

namespace orvo::detail {

struct affine_correspondence {
    cv::Vec2d point1, point2;  // the two centres, pixels
    cv::Matx22d affine;        // L: image 1 to image 2 near point1
    double size1 = 1;          // the first region's geometric-mean semi-axis, pixels
};

// The oriented frame of the ellipse [[a, b], [b, c]] (positive definite)
// whose dominant orientation is `orientation`: radians, the angle in image
// axes (x right, y down) of the direction the frame's first column takes.
cv::Matx22d oriented_frame(double a, double b, double c, double orientation);

// The correspondence of two regions given by centre, oriented frame.
affine_correspondence correspondence_from_frames(const cv::Vec2d& centre1, const cv::Matx22d& frame1,
                                           const cv::Vec2d& centre2, const cv::Matx22d& frame2);

}  // namespace orvo::detail
