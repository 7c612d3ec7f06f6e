// Homographies from affine correspondences.
//
// With H's rows h1, h2, h3, p = (x, y, 1) the first centre, (u, v) the
// second and s = h3 . p, a correspondence gives two point equations,
// h1 . p - u s = 0 and h2 . p - v s = 0, and four affine ones: H's Jacobian
// at p equals L, h11 - u h31 - l11 s = 0, h12 - u h32 - l12 s = 0,
// h21 - v h31 - l21 s = 0, h22 - v h32 - l22 s = 0. All are linear in H's
// nine entries: two correspondences (twelve equations) fix H, four points
// do without the affine ones.
#pragma once

#include "matching/estimator.h"

namespace orvo::detail {

class homography_estimator : public model_estimator {
public:
    int affine_sample_size() const override { return 2; }
    int point_sample_size() const override { return 4; }
    std::optional<cv::Matx33d> fit(const std::vector<affine_correspondence>& correspondences,
                                   const std::vector<int>& subset, bool with_affine) const override;
    // |H p1 - p2|^2 in image 2.
    double point_error(const cv::Matx33d& model, const affine_correspondence& correspondence) const override;
    // |J^-1 L - I| (Frobenius), J the Jacobian of H at p1.
    double affine_error(const cv::Matx33d& model, const affine_correspondence& correspondence) const override;
};

}  // namespace orvo::detail
