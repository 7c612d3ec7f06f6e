// What the robust estimator needs of a two-view model: fits from affine
// correspondences, with or without their affine constraints, and each
// correspondence's point and affine errors under a model.
#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "matching/affine_correspondence.h"

namespace orvo::detail {

class model_estimator {
public:
    virtual ~model_estimator() = default;

    // Correspondences in a minimal sample when their affine maps count, and
    // when only their points do.
    virtual int affine_sample_size() const = 0;
    virtual int point_sample_size() const = 0;

    // The model (3 x 3, pixel coordinates) fitted by linear least squares to
    // correspondences[subset]: every point equation, and every affine
    // equation when `with_affine`. Nothing when the subset is degenerate.
    virtual std::optional<cv::Matx33d> fit(const std::vector<affine_correspondence>& correspondences,
                                           const std::vector<int>& subset, bool with_affine) const = 0;

    // The point error (squared, pixels^2) of one correspondence under a
    // model, and how far its affine map is from the one the model implies
    // (relative: 0 for a perfect fit, 1 as large as the map itself).
    virtual double point_error(const cv::Matx33d& model, const affine_correspondence& correspondence) const = 0;
    virtual double affine_error(const cv::Matx33d& model, const affine_correspondence& correspondence) const = 0;
};

}  // namespace orvo::detail
