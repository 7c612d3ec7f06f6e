// Region geometry: validity, axes, scaling and the frames of other tools.
#include "orvo/region.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "ellipse/ellipse_matrix.h"

namespace orvo {
namespace {

void require_valid(const Region& region, const char* caller)
{
    if (!is_valid(region))
        throw std::invalid_argument(std::string(caller) + ": the region is not finite and positive definite");
}

}  // namespace

bool is_valid(const Region& r)
{
    // a > 0 and (a/b) c > b, without the overflow and underflow of a c - b^2.
    if (!(std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.a) && std::isfinite(r.b) &&
          std::isfinite(r.c) && r.a > 0 && r.c > 0))
        return false;
    if (r.b == 0) return true;
    const double ratio = std::fabs(r.b) / r.a;  // b^2 < a c  <=>  |b|/a < c/|b|
    return ratio < r.c / std::fabs(r.b);
}

EllipseAxes axes(const Region& region)
{
    const detail::ellipse_matrix matrix{region.a, region.b, region.c};
    const detail::semi_axes semi = detail::ellipse_semi_axes(matrix);
    return {semi.major, semi.minor, detail::major_axis_degrees(matrix)};
}

Region scaled(const Region& region, double factor)
{
    return scaled(std::vector<Region>{region}, factor).front();
}

std::vector<Region> scaled(const std::vector<Region>& regions, double factor)
{
    if (!(factor > 0 && std::isfinite(factor)))
        throw std::invalid_argument("scaled: the factor must be a positive finite number");
    const double f2 = factor * factor;
    std::vector<Region> result;
    result.reserve(regions.size());
    for (const Region& r : regions) {
        const Region grown{r.x, r.y, r.a / f2, r.b / f2, r.c / f2, r.strength};
        if (!is_valid(r) || !is_valid(grown))
            throw std::invalid_argument("scaled: region " + std::to_string(result.size()) +
                                        (is_valid(r) ? " grown by the factor is" : " is") +
                                        " not finite and positive definite");
        result.push_back(grown);
    }
    return result;
}

cv::KeyPoint to_keypoint(const Region& region)
{
    require_valid(region, "to_keypoint");
    const double determinant = region.a * region.c - region.b * region.b;
    const double size = 2 / std::sqrt(std::sqrt(determinant));
    const double angle = region.b == 0 && region.a == region.c ? 0.0 : axes(region).angle;
    const cv::KeyPoint keypoint(static_cast<float>(region.x), static_cast<float>(region.y), static_cast<float>(size),
                                static_cast<float>(angle), static_cast<float>(region.strength));
    // A matrix whose determinant overflows or vanishes, or a region beyond
    // the range of floats, has no KeyPoint.
    if (!(keypoint.size > 0 && std::isfinite(keypoint.size) && std::isfinite(keypoint.pt.x) &&
          std::isfinite(keypoint.pt.y)))
        throw std::invalid_argument("to_keypoint: the region's size or centre is beyond the range of a KeyPoint");
    return keypoint;
}

Region from_keypoint(const cv::KeyPoint& keypoint)
{
    if (!(keypoint.size > 0))
        throw std::invalid_argument("from_keypoint: the size must be a positive finite number");
    const double radius = keypoint.size / 2.0;
    const double inverse_square = 1 / (radius * radius);
    const Region circle{keypoint.pt.x, keypoint.pt.y, inverse_square, 0.0, inverse_square, keypoint.response};
    require_valid(circle, "from_keypoint");
    return circle;
}

cv::Matx23d to_affine_frame(const Region& region)
{
    require_valid(region, "to_affine_frame");
    const cv::Matx22d frame = detail::lower_triangular_frame({region.a, region.b, region.c});
    const double a11 = frame(0, 0), a21 = frame(1, 0), a22 = frame(1, 1);
    // A determinant that overflows or vanishes leaves no frame.
    if (!(a11 > 0 && std::isfinite(a11) && std::isfinite(a21) && a22 > 0 && std::isfinite(a22)))
        throw std::invalid_argument("to_affine_frame: the region's determinant is beyond the range of doubles");
    return cv::Matx23d(a11, 0, region.x, a21, a22, region.y);
}

Region from_affine_frame(const cv::Matx23d& frame)
{
    // M = (A A')^-1.
    const double p = frame(0, 0) * frame(0, 0) + frame(0, 1) * frame(0, 1);
    const double q = frame(0, 0) * frame(1, 0) + frame(0, 1) * frame(1, 1);
    const double s = frame(1, 0) * frame(1, 0) + frame(1, 1) * frame(1, 1);
    const double d = p * s - q * q;
    const Region region{frame(0, 2), frame(1, 2), s / d, -q / d, p / d};
    require_valid(region, "from_affine_frame");
    return region;
}

cv::RotatedRect to_rotated_rect(const Region& region)
{
    require_valid(region, "to_rotated_rect");
    const EllipseAxes e = axes(region);
    return cv::RotatedRect(cv::Point2f(static_cast<float>(region.x), static_cast<float>(region.y)),
                           cv::Size2f(static_cast<float>(2 * e.major), static_cast<float>(2 * e.minor)),
                           static_cast<float>(e.angle));
}

}  // namespace orvo
