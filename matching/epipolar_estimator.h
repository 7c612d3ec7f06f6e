// Fundamental and essential matrices from affine correspondences.
//
// With p1, p2 the homogeneous centres, a correspondence gives the epipolar
// equation p2' F p1 = 0, and its affine map must carry the epipolar lines
// onto each other: (F' p2)[0:2] + L' (F p1)[0:2] = 0. Three equations, linear
// in F's nine entries: three correspondences fix F up to scale (then the
// rank-2 constraint is enforced), eight points do without the affine ones.
// With calibrated cameras the same holds for the essential matrix in
// normalised coordinates K^-1 p, where the affine map becomes
// K2^-1 L K1 (2 x 2 parts); there the two equal singular values are
// enforced.
#pragma once

#include "matching/estimator.h"

namespace orvo::detail {

class epipolar_estimator : public model_estimator {
public:
    // A fundamental matrix.
    epipolar_estimator() = default;
    // An essential matrix between cameras of intrinsics K1 and K2 (upper
    // triangular, invertible). The models fitted are still the fundamental
    // matrices K2^-T E K1^-1 that act on pixels: essential() gives E.
    epipolar_estimator(const cv::Matx33d& K1, const cv::Matx33d& K2);

    int affine_sample_size() const override { return 3; }
    int point_sample_size() const override { return 8; }
    std::optional<cv::Matx33d> fit(const std::vector<affine_correspondence>& correspondences,
                                   const std::vector<int>& subset, bool with_affine) const override;
    // Sampson's approximation of the squared distance to the epipolar
    // geometry, pixels^2.
    double point_error(const cv::Matx33d& model, const affine_correspondence& correspondence) const override;
    // |L' n2 + n1| / max(|n1|, |L' n2|) with n1 = (F' p2)[0:2] and
    // n2 = (F p1)[0:2], the normals of the two epipolar lines.
    double affine_error(const cv::Matx33d& model, const affine_correspondence& correspondence) const override;

    // The essential matrix (unit norm) of a model fitted with intrinsics.
    cv::Matx33d essential(const cv::Matx33d& model) const;

private:
    bool calibrated_ = false;
    cv::Matx33d K1_ = cv::Matx33d::eye(), K2_ = cv::Matx33d::eye();
};

}  // namespace orvo::detail
