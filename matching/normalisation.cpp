// Conditioning coordinate changes for the linear fits.
#include "matching/normalisation.h"

#include <cmath>

namespace orvo::detail {

cv::Matx33d normalising_similarity(const std::vector<cv::Vec2d>& points)
{
    cv::Vec2d centre(0, 0);
    for (const cv::Vec2d& p : points) centre += p;
    if (!points.empty()) centre *= 1.0 / static_cast<double>(points.size());
    double distance = 0;
    for (const cv::Vec2d& p : points) distance += cv::norm(p - centre);
    if (!points.empty()) distance /= static_cast<double>(points.size());
    const double s = distance > 0 ? std::sqrt(2.0) / distance : 1.0;
    return cv::Matx33d(s, 0, -s * centre[0], 0, s, -s * centre[1], 0, 0, 1);
}

cv::Vec2d apply(const cv::Matx33d& change, const cv::Vec2d& point)
{
    return {change(0, 0) * point[0] + change(0, 1) * point[1] + change(0, 2),
            change(1, 0) * point[0] + change(1, 1) * point[1] + change(1, 2)};
}

cv::Matx22d linear_part(const cv::Matx33d& change)
{
    return cv::Matx22d(change(0, 0), change(0, 1), change(1, 0), change(1, 1));
}

affine_correspondence transformed(const affine_correspondence& correspondence, const cv::Matx33d& change1,
                                 const cv::Matx33d& change2)
{
    const cv::Matx22d linear1 = linear_part(change1);
    return {apply(change1, correspondence.point1), apply(change2, correspondence.point2),
            linear_part(change2) * correspondence.affine * linear1.inv(),
            correspondence.size1 * std::sqrt(std::abs(cv::determinant(linear1)))};
}

}  // namespace orvo::detail
