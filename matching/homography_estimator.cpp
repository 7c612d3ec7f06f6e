// Linear homography fits from points and affine maps, and their errors.
#include "matching/homography_estimator.h"

#include <cmath>
#include <limits>

#include "matching/normalisation.h"
#include "matching/null_vector.h"

namespace orvo::detail {

namespace {

constexpr double INFINITE_ERROR = std::numeric_limits<double>::infinity();

// Writes one equation, coefficients of h11 .. h33, into `row`.
void put_row(cv::Mat& system, int& row, std::initializer_list<double> coefficients)
{
    double* out = system.ptr<double>(row++);
    for (double c : coefficients) *out++ = c;
}

}  // namespace

std::optional<cv::Matx33d> homography_estimator::fit(const std::vector<affine_correspondence>& correspondences,
                                                    const std::vector<int>& subset, bool with_affine) const
{
    const int equations = static_cast<int>(subset.size()) * (with_affine ? 6 : 2);
    if (equations < 8) return std::nullopt;
    std::vector<cv::Vec2d> points1, points2;
    for (int i : subset) {
        points1.push_back(correspondences[i].point1);
        points2.push_back(correspondences[i].point2);
    }
    const cv::Matx33d change1 = normalising_similarity(points1), change2 = normalising_similarity(points2);

    cv::Mat system(equations, 9, CV_64F);
    int row = 0;
    for (int i : subset) {
        const affine_correspondence c = transformed(correspondences[i], change1, change2);
        const double x = c.point1[0], y = c.point1[1], u = c.point2[0], v = c.point2[1];
        put_row(system, row, {x, y, 1, 0, 0, 0, -u * x, -u * y, -u});
        put_row(system, row, {0, 0, 0, x, y, 1, -v * x, -v * y, -v});
        if (!with_affine) continue;
        // Weighted by the region's size: an error of the map then counts as
        // the point error it makes at the region's boundary.
        const double w = c.size1;
        const cv::Matx22d& l = c.affine;
        put_row(system, row, {w, 0, 0, 0, 0, 0, -w * (u + l(0, 0) * x), -w * l(0, 0) * y, -w * l(0, 0)});
        put_row(system, row, {0, w, 0, 0, 0, 0, -w * l(0, 1) * x, -w * (u + l(0, 1) * y), -w * l(0, 1)});
        put_row(system, row, {0, 0, 0, w, 0, 0, -w * (v + l(1, 0) * x), -w * l(1, 0) * y, -w * l(1, 0)});
        put_row(system, row, {0, 0, 0, 0, w, 0, -w * l(1, 1) * x, -w * (v + l(1, 1) * y), -w * l(1, 1)});
    }
    const std::optional<cv::Matx33d> normalised = null_vector(system);
    if (!normalised) return std::nullopt;
    cv::Matx33d h = change2.inv() * *normalised * change1;
    const double scale = cv::norm(h);
    if (!(scale > 0) || std::abs(cv::determinant(h)) < 1e-12 * scale * scale * scale) return std::nullopt;
    h *= (h(2, 2) < 0 ? -1 : 1) / scale;
    return h;
}

double homography_estimator::point_error(const cv::Matx33d& h, const affine_correspondence& c) const
{
    const cv::Vec3d q = h * cv::Vec3d(c.point1[0], c.point1[1], 1);
    if (!(std::abs(q[2]) > 1e-12 * cv::norm(q))) return INFINITE_ERROR;
    const double dx = q[0] / q[2] - c.point2[0], dy = q[1] / q[2] - c.point2[1];
    return dx * dx + dy * dy;
}

double homography_estimator::affine_error(const cv::Matx33d& h, const affine_correspondence& c) const
{
    const cv::Vec3d q = h * cv::Vec3d(c.point1[0], c.point1[1], 1);
    if (!(std::abs(q[2]) > 1e-12 * cv::norm(q))) return INFINITE_ERROR;
    const double u = q[0] / q[2], v = q[1] / q[2];
    const cv::Matx22d jacobian = cv::Matx22d(h(0, 0) - u * h(2, 0), h(0, 1) - u * h(2, 1), h(1, 0) - v * h(2, 0),
                                             h(1, 1) - v * h(2, 1)) *
                                 (1 / q[2]);
    if (!(std::abs(cv::determinant(jacobian)) > 0)) return INFINITE_ERROR;
    return cv::norm(jacobian.inv() * c.affine - cv::Matx22d::eye());
}

}  // namespace orvo::detail
