// Oriented frames of ellipses and the affine maps between matched frames.
#include "matching/affine_correspondence.h"

#include <cmath>

namespace orvo::detail {

cv::Matx22d oriented_frame(double a, double b, double c, double orientation)
{
    // A = chol(M^-1), lower: [[sqrt(c / d), 0], [-b / sqrt(c d), 1 / sqrt(c)]].
    const double d = a * c - b * b;
    const cv::Matx22d upright(std::sqrt(c / d), 0, -b / std::sqrt(c * d), 1 / std::sqrt(c));
    // The turn t with A R(t) e1 along the orientation: R(t) e1 along A^-1 u.
    const cv::Vec2d direction = upright.inv() * cv::Vec2d(std::cos(orientation), std::sin(orientation));
    const double t = std::atan2(direction[1], direction[0]);
    const cv::Matx22d turn(std::cos(t), -std::sin(t), std::sin(t), std::cos(t));
    return upright * turn;
}

affine_correspondence correspondence_from_frames(const cv::Vec2d& centre1, const cv::Matx22d& frame1,
                                           const cv::Vec2d& centre2, const cv::Matx22d& frame2)
{
    return {centre1, centre2, frame2 * frame1.inv(), std::sqrt(std::abs(cv::determinant(frame1)))};
}

}  // namespace orvo::detail
