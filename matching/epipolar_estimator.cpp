// Linear fits of epipolar geometry from points and affine maps, and their errors.
#include "matching/epipolar_estimator.h"

#include <cmath>
#include <limits>

#include "matching/normalisation.h"
#include "matching/null_vector.h"

namespace orvo::detail {

namespace {

constexpr double INFINITE_ERROR = std::numeric_limits<double>::infinity();

// The matrix nearest to `m` (Frobenius) with singular values (s1, s2, 0),
// or with (1, 1, 0) when `essential`.
cv::Matx33d enforce_constraints(const cv::Matx33d& m, bool essential)
{
    cv::Matx31d w;
    cv::Matx33d u, vt;
    cv::SVD::compute(m, w, u, vt);
    const double s1 = essential ? 1 : w(0), s2 = essential ? 1 : w(1);
    return u * cv::Matx33d::diag(cv::Vec3d(s1, s2, 0)) * vt;
}

}  // namespace

epipolar_estimator::epipolar_estimator(const cv::Matx33d& K1, const cv::Matx33d& K2)
    : calibrated_(true), K1_(K1), K2_(K2)
{
}

std::optional<cv::Matx33d> epipolar_estimator::fit(const std::vector<affine_correspondence>& correspondences,
                                                  const std::vector<int>& subset, bool with_affine) const
{
    const int per_correspondence = with_affine ? 3 : 1;
    const int equations = static_cast<int>(subset.size()) * per_correspondence;
    if (equations < 8) return std::nullopt;
    cv::Matx33d change1 = K1_.inv(), change2 = K2_.inv();
    if (!calibrated_) {
        std::vector<cv::Vec2d> points1, points2;
        for (int i : subset) {
            points1.push_back(correspondences[i].point1);
            points2.push_back(correspondences[i].point2);
        }
        change1 = normalising_similarity(points1);
        change2 = normalising_similarity(points2);
    }

    cv::Mat system(equations, 9, CV_64F);
    int row = 0;
    for (int i : subset) {
        const affine_correspondence c = transformed(correspondences[i], change1, change2);
        const cv::Vec3d p1(c.point1[0], c.point1[1], 1), p2(c.point2[0], c.point2[1], 1);
        double* epipolar = system.ptr<double>(row++);
        for (int r = 0; r < 3; ++r)
            for (int k = 0; k < 3; ++k) epipolar[3 * r + k] = p2[r] * p1[k];
        if (!with_affine) continue;
        // Coefficient of F(r, k) in equation j: [k == j] p2[r] + [r < 2] L(r, j) p1[k],
        // weighted by the region's size as for the homography.
        for (int j = 0; j < 2; ++j) {
            double* affine = system.ptr<double>(row++);
            for (int r = 0; r < 3; ++r)
                for (int k = 0; k < 3; ++k)
                    affine[3 * r + k] = c.size1 * ((k == j ? p2[r] : 0) + (r < 2 ? c.affine(r, j) * p1[k] : 0));
        }
    }
    std::optional<cv::Matx33d> normalised = null_vector(system);
    if (!normalised) return std::nullopt;
    cv::Matx33d f = change2.t() * enforce_constraints(*normalised, calibrated_) * change1;
    const double scale = cv::norm(f);
    if (!(scale > 0)) return std::nullopt;
    return f * (1 / scale);
}

double epipolar_estimator::point_error(const cv::Matx33d& f, const affine_correspondence& c) const
{
    const cv::Vec3d p1(c.point1[0], c.point1[1], 1), p2(c.point2[0], c.point2[1], 1);
    const cv::Vec3d line2 = f * p1, line1 = f.t() * p2;
    const double residual = p2.dot(line2);
    const double gradient = line2[0] * line2[0] + line2[1] * line2[1] + line1[0] * line1[0] + line1[1] * line1[1];
    if (!(gradient > 0)) return INFINITE_ERROR;
    return residual * residual / gradient;
}

double epipolar_estimator::affine_error(const cv::Matx33d& f, const affine_correspondence& c) const
{
    const cv::Vec3d line2 = f * cv::Vec3d(c.point1[0], c.point1[1], 1);
    const cv::Vec3d line1 = f.t() * cv::Vec3d(c.point2[0], c.point2[1], 1);
    const cv::Vec2d normal1(line1[0], line1[1]);
    const cv::Vec2d carried = c.affine.t() * cv::Vec2d(line2[0], line2[1]);
    const double size = std::max(cv::norm(normal1), cv::norm(carried));
    if (!(size > 0)) return INFINITE_ERROR;
    return cv::norm(carried + normal1) / size;
}

cv::Matx33d epipolar_estimator::essential(const cv::Matx33d& model) const
{
    const cv::Matx33d e = K2_.t() * model * K1_;
    return e * (1 / cv::norm(e));
}

}  // namespace orvo::detail
