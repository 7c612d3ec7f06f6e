// Matching two images: tentative matches of descriptors, verified by a
// two-view model estimated from affine correspondences.
#include "orvo/match.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>

#include "library/image_types.h"
#include "library/measurement_region.h"
#include "library/option_table.h"
#include "library/out_of_memory.h"
#include "matching/affine_correspondence.h"
#include "matching/epipolar_estimator.h"
#include "matching/homography_estimator.h"
#include "matching/nearest_neighbours.h"
#include "matching/patch_alignment.h"
#include "matching/ransac.h"
#include "orvo/describe.h"
#include "parallel/jobs.h"

namespace orvo {

namespace {

void require(bool condition, const char* option, const char* rule)
{
    if (!condition) throw std::invalid_argument(std::string("MatchOptions::") + option + " " + rule);
}

bool is_intrinsic_matrix(const cv::Matx33d& K)
{
    for (double v : K.val)
        if (!std::isfinite(v)) return false;
    return K(1, 0) == 0 && K(2, 0) == 0 && K(2, 1) == 0 && K(0, 0) != 0 && K(1, 1) != 0 && K(2, 2) != 0;
}

double milliseconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void check_features(const char* image, const std::vector<Region>& regions, const cv::Mat& descriptors,
                    const std::vector<float>& orientations)
{
    const std::string name = std::string("match_features: image ") + image + ": ";
    if (static_cast<std::size_t>(descriptors.rows) != regions.size() && !(regions.empty() && descriptors.empty()))
        throw std::invalid_argument(name + std::to_string(regions.size()) + " regions but " +
                                    std::to_string(descriptors.rows) + " descriptors");
    if (orientations.size() != regions.size())
        throw std::invalid_argument(name + std::to_string(regions.size()) + " regions but " +
                                    std::to_string(orientations.size()) + " orientations");
    if (descriptors.channels() != 1)
        throw std::invalid_argument(name + "descriptors must have one channel");
    for (std::size_t i = 0; i < regions.size(); ++i) {
        if (!is_valid(regions[i]))
            throw std::invalid_argument(name + "region " + std::to_string(i) + " is not finite and positive definite");
        if (!std::isfinite(orientations[i]))
            throw std::invalid_argument(name + "orientation " + std::to_string(i) + " is not finite");
    }
}

detail::affine_correspondence correspondence(const Region& r1, float orientation1, const Region& r2,
                                            float orientation2)
{
    return detail::correspondence_from_frames({r1.x, r1.y}, detail::oriented_frame(r1.a, r1.b, r1.c, orientation1),
                                         {r2.x, r2.y}, detail::oriented_frame(r2.a, r2.b, r2.c, orientation2));
}

std::unique_ptr<detail::model_estimator> estimator_for(const MatchOptions& options)
{
    if (options.model == GeometricModel::homography) return std::make_unique<detail::homography_estimator>();
    if (options.model == GeometricModel::fundamental) return std::make_unique<detail::epipolar_estimator>();
    return std::make_unique<detail::epipolar_estimator>(options.K1, options.K2);
}

detail::ransac_options ransac_settings(const MatchOptions& options)
{
    detail::ransac_options settings;
    settings.threshold = options.ransac_threshold;
    settings.affine_threshold = options.affine_threshold;
    settings.confidence = options.confidence;
    settings.max_iterations = options.max_iterations;
    return settings;
}

// The model as results give it: a homography with H(2, 2) = 1 (unit norm
// when that entry vanishes), an essential matrix from the fit with
// intrinsics, a fundamental matrix as fitted (unit norm).
cv::Matx33d result_model(const cv::Matx33d& fitted, const MatchOptions& options, const detail::model_estimator& estimator)
{
    if (options.model == GeometricModel::essential)
        return static_cast<const detail::epipolar_estimator&>(estimator).essential(fitted);
    if (options.model == GeometricModel::homography && std::abs(fitted(2, 2)) > 1e-12 * cv::norm(fitted))
        return fitted * (1 / fitted(2, 2));
    return fitted * (1 / cv::norm(fitted));
}

// The fitted model a result's model came from (pixels to pixels).
cv::Matx33d fitted_model(const cv::Matx33d& model, const MatchOptions& options)
{
    if (options.model == GeometricModel::essential) return options.K2.inv().t() * model * options.K1.inv();
    return model;
}

void set_verification(MatchResult& result, const detail::ransac_result& verified, const MatchOptions& options,
                      const detail::model_estimator& estimator,
                      const std::vector<detail::affine_correspondence>& correspondences)
{
    result.model.reset();
    result.errors.assign(correspondences.size(), std::numeric_limits<double>::infinity());
    if (verified.model) {
        result.model = result_model(*verified.model, options, estimator);
        for (std::size_t k = 0; k < correspondences.size(); ++k)
            result.errors[k] = std::sqrt(estimator.point_error(*verified.model, correspondences[k]));
    }
    result.inliers.assign(verified.inliers.begin(), verified.inliers.end());
    result.counts.inliers = static_cast<std::size_t>(verified.inlier_count);
}

// The regions whose measurement regions (grown by `scale`) can be
// described: those regions, their measurement regions, and the index of
// each among `regions`.
struct describable_regions {
    std::vector<Region> regions, measured;
    std::vector<int> index;
};

describable_regions describable(const std::vector<Region>& regions, double scale)
{
    describable_regions kept;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        if (const std::optional<Region> grown = detail::measurement_region(regions[i], scale)) {
            kept.regions.push_back(regions[i]);
            kept.measured.push_back(*grown);
            kept.index.push_back(static_cast<int>(i));
        }
    }
    return kept;
}

}  // namespace

std::string to_string(GeometricModel model)
{
    switch (model) {
    case GeometricModel::homography: return "homography";
    case GeometricModel::fundamental: return "fundamental";
    case GeometricModel::essential: return "essential";
    }
    throw std::invalid_argument("not a geometric model");
}

GeometricModel geometric_model(const std::string& name)
{
    for (GeometricModel model : {GeometricModel::homography, GeometricModel::fundamental, GeometricModel::essential})
        if (to_string(model) == name) return model;
    throw std::invalid_argument("the model must be homography, fundamental or essential, not \"" + name + "\"");
}

void MatchOptions::validate() const
{
    for (const detail::match_option& option : detail::match_option_table()) detail::check_option(option, *this);
    require(model == GeometricModel::homography || model == GeometricModel::fundamental ||
                model == GeometricModel::essential,
            "model", "must be homography, fundamental or essential");
    require(is_intrinsic_matrix(K1), "K1", "must be finite, upper triangular and invertible");
    require(is_intrinsic_matrix(K2), "K2", "must be finite, upper triangular and invertible");
    detector.validate();
}

MatchResult match_features(const std::vector<Region>& regions1, const cv::Mat& descriptors1,
                           const std::vector<float>& orientations1, const std::vector<Region>& regions2,
                           const cv::Mat& descriptors2, const std::vector<float>& orientations2,
                           const MatchOptions& options)
{
    options.validate();
    check_features("1", regions1, descriptors1, orientations1);
    check_features("2", regions2, descriptors2, orientations2);
    const bool both_described = !descriptors1.empty() && !descriptors2.empty();
    if (both_described && (descriptors1.cols != descriptors2.cols || descriptors1.type() != descriptors2.type()))
        throw std::invalid_argument("match_features: the descriptors of the two images differ in width or type");

    return detail::translate_out_of_memory([&] {
        MatchResult result;
        result.kind = options.model;
        result.counts.regions1 = regions1.size();
        result.counts.regions2 = regions2.size();

        auto start = std::chrono::steady_clock::now();
        std::vector<detail::tentative_match> tentative;
        if (both_described)
            tentative = detail::mutual_nearest_neighbours(descriptors1, descriptors2, options.ratio,
                                                          options.detector.threads);
        result.times.match = milliseconds_since(start);

        start = std::chrono::steady_clock::now();
        std::vector<detail::affine_correspondence> correspondences;
        correspondences.reserve(tentative.size());
        for (const detail::tentative_match& m : tentative) {
            result.index1.push_back(m.index1);
            result.index2.push_back(m.index2);
            result.regions1.push_back(regions1[m.index1]);
            result.regions2.push_back(regions2[m.index2]);
            result.distances.push_back(m.distance);
            result.ratios.push_back(m.ratio);
            correspondences.push_back(correspondence(regions1[m.index1], orientations1[m.index1],
                                                     regions2[m.index2], orientations2[m.index2]));
            const detail::affine_correspondence& c = correspondences.back();
            result.points1.emplace_back(c.point1[0], c.point1[1]);
            result.points2.emplace_back(c.point2[0], c.point2[1]);
            result.affines.push_back(c.affine);
        }
        result.refined.assign(tentative.size(), false);
        const std::unique_ptr<detail::model_estimator> estimator = estimator_for(options);
        const detail::ransac_result verified = detail::ransac(*estimator, correspondences, ransac_settings(options));
        set_verification(result, verified, options, *estimator, correspondences);
        result.times.verify = milliseconds_since(start);
        result.counts.tentative = tentative.size();
        result.counts.hypotheses = static_cast<std::size_t>(verified.hypotheses);
        return result;
    });
}

void refine_matches(const cv::Mat& image1, const cv::Mat& image2, MatchResult& result, const MatchOptions& options)
{
    options.validate();
    const std::size_t n = result.inliers.size();
    if (result.regions1.size() != n || result.regions2.size() != n || result.points1.size() != n ||
        result.points2.size() != n || result.affines.size() != n || result.refined.size() != n)
        throw std::invalid_argument("refine_matches: the result's arrays of matches differ in length");
    detail::translate_out_of_memory([&] {
        const auto start = std::chrono::steady_clock::now();
        const auto pyramid = [](const cv::Mat& image) {
            return detail::build_alignment_pyramid(detail::to_grey(image, "refine_matches"));
        };
        detail::alignment_pyramid pyramid1, pyramid2;
        detail::run_in_turn(2, options.detector.threads,
                            [&](std::size_t k) { (k == 0 ? pyramid1 : pyramid2) = pyramid(k == 0 ? image1 : image2); });
        if (!result.model) return;
        // Each inlier is aligned on its own, in turn on the threads; the
        // result does not depend on their number. (Whether each converged is
        // kept in bytes: threads may not write neighbouring bits.)
        std::vector<detail::affine_correspondence> correspondences(n);
        std::vector<char> refined(n, 0);
        detail::run_in_turn(n, options.detector.threads, [&](std::size_t k) {
            const Region& r = result.regions1[k];
            const cv::Matx22d frame = detail::oriented_frame(r.a, r.b, r.c, 0);
            if (result.inliers[k]) {
                const detail::patch_alignment aligned =
                    detail::align_patch(pyramid1, pyramid2, {result.points1[k].x, result.points1[k].y}, frame,
                                        {result.points2[k].x, result.points2[k].y}, result.affines[k]);
                if (aligned.converged) {
                    result.points2[k] = {aligned.point2[0], aligned.point2[1]};
                    result.affines[k] = aligned.affine;
                    refined[k] = 1;
                }
            }
            correspondences[k] = {{result.points1[k].x, result.points1[k].y},
                                  {result.points2[k].x, result.points2[k].y},
                                  result.affines[k],
                                  std::sqrt(std::abs(cv::determinant(frame)))};
        });
        for (std::size_t k = 0; k < n; ++k)
            if (refined[k]) result.refined[k] = true;
        const std::unique_ptr<detail::model_estimator> estimator = estimator_for(options);
        set_verification(result,
                         detail::final_fit(*estimator, correspondences, fitted_model(*result.model, options),
                                           ransac_settings(options)),
                         options, *estimator, correspondences);
        result.times.refine = milliseconds_since(start);
    });
}

MatchResult match(const cv::Mat& image1, const cv::Mat& image2, const MatchOptions& options)
{
    options.validate();
    const DetectorOptions& detector = options.detector;

    auto start = std::chrono::steady_clock::now();
    const std::vector<Region> regions1 = detect(image1, detector), regions2 = detect(image2, detector);
    const double detect_time = milliseconds_since(start);

    start = std::chrono::steady_clock::now();
    std::vector<float> orientations1, orientations2;
    DescriptorOptions description;
    description.threads = detector.threads;
    const describable_regions kept1 = describable(regions1, detector.measurement_scale),
                              kept2 = describable(regions2, detector.measurement_scale);
    const cv::Mat descriptors1 = describe(image1, kept1.measured, &orientations1, description);
    const cv::Mat descriptors2 = describe(image2, kept2.measured, &orientations2, description);
    const double describe_time = milliseconds_since(start);

    MatchResult result = match_features(kept1.regions, descriptors1, orientations1, kept2.regions, descriptors2,
                                        orientations2, options);
    for (int& i : result.index1) i = kept1.index[i];
    for (int& i : result.index2) i = kept2.index[i];
    result.counts.regions1 = regions1.size();
    result.counts.regions2 = regions2.size();
    result.times.detect = detect_time;
    result.times.describe = describe_time;
    if (options.refine) refine_matches(image1, image2, result, options);
    return result;
}

}  // namespace orvo
