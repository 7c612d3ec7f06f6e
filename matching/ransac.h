// Robust fitting of a two-view model to affine correspondences, most of
// them possibly wrong.
//
// Each hypothesis is fitted to a minimal sample: two correspondences for a
// homography, three for epipolar geometry (their affine maps count), or the
// four or eight points of a point sampler. A hypothesis that does not carry
// its own sample is dropped unscored; the others are scored over every
// correspondence, an inlier being one whose point error is below the
// threshold and whose affine map agrees with the model (truncated squared
// point errors, as MSAC does). Each new best hypothesis is refined on its
// inliers (point and affine equations) while that lowers the cost; the
// sampling stops when the chance of a better sample having been missed falls
// below 1 - confidence. The result is fitted once more to every inlier with
// the point equations.
#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "matching/estimator.h"

namespace orvo::detail {

struct ransac_options {
    double threshold = 6.0;         // point error, pixels
    double affine_threshold = 0.5;  // relative error of the affine map
    double confidence = 0.999;
    int max_iterations = 10000;
    bool affine_samples = true;     // false: minimal samples of points only
    unsigned seed = 1;
};

struct ransac_result {
    std::optional<cv::Matx33d> model;
    std::vector<unsigned char> inliers;  // 1 per inlier, over the correspondences
    int inlier_count = 0;
    int hypotheses = 0;                  // minimal samples drawn
};

ransac_result ransac(const model_estimator& estimator, const std::vector<affine_correspondence>& correspondences,
                    const ransac_options& settings);

// The final fit of a model found to the correspondences, and its inliers
// (hypotheses 0): also the refit once the correspondences have been refined.
ransac_result final_fit(const model_estimator& estimator, const std::vector<affine_correspondence>& correspondences,
                       const cv::Matx33d& model, const ransac_options& settings);

// Samples needed to draw, with probability `confidence`, at least one
// sample of `sample_size` inliers when a share `inlier_share` of the
// correspondences are inliers (at least 1; `cap` when unbounded).
int required_samples(double inlier_share, int sample_size, double confidence, int cap);

}  // namespace orvo::detail
