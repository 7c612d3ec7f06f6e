// Sampling, scoring and refinement of two-view models.
#include "matching/ransac.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

namespace orvo::detail {

namespace {

struct hypothesis_score {
    double cost = std::numeric_limits<double>::infinity();
    int inliers = 0;
};

// Point errors are compared and summed in units of 4^e, the threshold
// being m 2^e with m in [0.5, 1): the very comparisons and sums made in
// pixels squared (a power of two scales exactly) for every threshold whose
// square is finite, and no overflow for those whose square is not (1e200),
// so that a larger threshold never loses an inlier.
class hypothesis_scorer {
public:
    hypothesis_scorer(const model_estimator& estimator, const std::vector<affine_correspondence>& correspondences,
           const ransac_options& settings)
        : estimator_(estimator), correspondences_(correspondences), affine_threshold_(settings.affine_threshold)
    {
        int exponent = 0;
        const double mantissa = std::frexp(settings.threshold, &exponent);
        squared_threshold_ = mantissa * mantissa;
        unit_exponent_ = 2 * exponent;
    }

    // Whether the correspondence is an inlier, with the point threshold
    // scaled by `fraction`.
    bool is_inlier(const cv::Matx33d& model, const affine_correspondence& c, double fraction = 1) const
    {
        return point_error(model, c) < fraction * fraction * squared_threshold_ &&
               estimator_.affine_error(model, c) < affine_threshold_;
    }

    // The cost of a model, and its inliers when `mask` is given. Gives up as
    // soon as the cost exceeds `bound`.
    hypothesis_score score(const cv::Matx33d& model, double bound, std::vector<unsigned char>* mask = nullptr) const
    {
        hypothesis_score s;
        s.cost = 0;
        if (mask) mask->assign(correspondences_.size(), 0);
        for (std::size_t i = 0; i < correspondences_.size(); ++i) {
            const double error = point_error(model, correspondences_[i]);
            if (error < squared_threshold_ &&
                estimator_.affine_error(model, correspondences_[i]) < affine_threshold_) {
                s.cost += error;
                ++s.inliers;
                if (mask) (*mask)[i] = 1;
            } else {
                s.cost += squared_threshold_;
            }
            if (s.cost > bound) return {std::numeric_limits<double>::infinity(), 0};
        }
        return s;
    }

    std::vector<int> inliers_of(const cv::Matx33d& model, double fraction = 1) const
    {
        std::vector<int> inliers;
        for (std::size_t i = 0; i < correspondences_.size(); ++i)
            if (is_inlier(model, correspondences_[i], fraction)) inliers.push_back(static_cast<int>(i));
        return inliers;
    }

private:
    double point_error(const cv::Matx33d& model, const affine_correspondence& c) const
    {
        return std::ldexp(estimator_.point_error(model, c), -unit_exponent_);
    }

    const model_estimator& estimator_;
    const std::vector<affine_correspondence>& correspondences_;
    double affine_threshold_;
    double squared_threshold_ = 0;  // in units of 4^e
    int unit_exponent_ = 0;         // 2 e
};

// Distinct indices below `count`.
void draw_sample(std::mt19937& random, int count, int size, std::vector<int>& sample)
{
    sample.clear();
    while (static_cast<int>(sample.size()) < size) {
        const int i = std::uniform_int_distribution<int>(0, count - 1)(random);
        if (std::find(sample.begin(), sample.end(), i) == sample.end()) sample.push_back(i);
    }
}

}  // namespace

int required_samples(double inlier_share, int sample_size, double confidence, int cap)
{
    const double all_inliers = std::pow(inlier_share, sample_size);
    if (all_inliers >= 1) return 1;
    if (!(all_inliers > 0)) return cap;
    const double needed = std::ceil(std::log(1 - confidence) / std::log1p(-all_inliers));
    return static_cast<int>(std::clamp(needed, 1.0, static_cast<double>(cap)));
}

ransac_result ransac(const model_estimator& estimator, const std::vector<affine_correspondence>& correspondences,
                    const ransac_options& settings)
{
    ransac_result result;
    result.inliers.assign(correspondences.size(), 0);
    const int count = static_cast<int>(correspondences.size());
    const int sample_size = settings.affine_samples ? estimator.affine_sample_size() : estimator.point_sample_size();
    if (count < sample_size) return result;

    const hypothesis_scorer scorer(estimator, correspondences, settings);
    std::mt19937 random(settings.seed);
    std::optional<cv::Matx33d> best;
    hypothesis_score best_score;
    std::vector<int> sample;
    int needed = settings.max_iterations;
    while (result.hypotheses < std::min(needed, settings.max_iterations)) {
        ++result.hypotheses;
        draw_sample(random, count, sample_size, sample);
        std::optional<cv::Matx33d> model = estimator.fit(correspondences, sample, settings.affine_samples);
        if (!model || !std::all_of(sample.begin(), sample.end(),
                                   [&](int i) { return scorer.is_inlier(*model, correspondences[i]); }))
            continue;
        hypothesis_score score = scorer.score(*model, best_score.cost);
        if (score.cost >= best_score.cost) continue;

        // Local optimisation: refit to the inliers while that helps, with
        // the point equations once they determine the model.
        for (int round = 0; round < 4 && score.inliers > sample_size; ++round) {
            const bool with_affine = score.inliers < 2 * estimator.point_sample_size();
            const std::optional<cv::Matx33d> refined =
                estimator.fit(correspondences, scorer.inliers_of(*model), with_affine);
            if (!refined) break;
            const hypothesis_score refined_score = scorer.score(*refined, score.cost);
            if (refined_score.cost >= score.cost) break;
            model = refined;
            score = refined_score;
        }
        best = model;
        best_score = score;
        needed = required_samples(static_cast<double>(score.inliers) / count, sample_size, settings.confidence,
                                  settings.max_iterations);
    }
    if (!best) return result;
    ransac_result fitted = final_fit(estimator, correspondences, *best, settings);
    fitted.hypotheses = result.hypotheses;
    return fitted;
}

ransac_result final_fit(const model_estimator& estimator, const std::vector<affine_correspondence>& correspondences,
                       const cv::Matx33d& model, const ransac_options& settings)
{
    // The point equations of the inliers, first within the threshold, then
    // within a half and a quarter of it while enough correspondences
    // remain: the model found is close enough by then to single out the
    // most precise ones, which extrapolate best.
    const hypothesis_scorer scorer(estimator, correspondences, settings);
    cv::Matx33d best = model;
    const int enough = 2 * estimator.point_sample_size();
    for (const double fraction : {1.0, 1.0, 0.5, 0.5, 0.25, 0.25}) {
        const std::vector<int> inliers = scorer.inliers_of(best, fraction);
        if (static_cast<int>(inliers.size()) < enough) break;
        const std::optional<cv::Matx33d> refined = estimator.fit(correspondences, inliers, false);
        if (!refined) break;
        best = *refined;
    }
    ransac_result result;
    result.inliers.assign(correspondences.size(), 0);
    result.model = best;
    result.inlier_count = scorer.score(best, std::numeric_limits<double>::infinity(), &result.inliers).inliers;
    return result;
}

}  // namespace orvo::detail
