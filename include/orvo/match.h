// orvo/match.h: correspondences between two images, verified by a two-view
// model estimated from the regions' affine frames.
//
// The regions of both images are detected and described; descriptors that
// are each other's nearest neighbours and pass the ratio test become
// tentative matches. Each one carries the affine map between the two
// regions' oriented frames (the ellipse turned by the descriptor's dominant
// orientation), so two matches already fix a homography and three a
// fundamental or essential matrix: a robust estimator samples those, checks
// each hypothesis on the points and on the affine maps, refines the best on
// its inliers and fits the final model to all of them.
//
//   cv::Mat image1 = orvo::read_image("a.jpg"), image2 = orvo::read_image("b.jpg");
//   orvo::MatchResult result = orvo::match(image1, image2);  // a homography by default
//   if (result.model) std::cout << *result.model << ": " << result.counts.inliers << " inliers\n";
//   cv::imwrite("matches.png", orvo::draw_matches(image1, image2, result));
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <optional>
#include <string>
#include <vector>

#include "orvo/describe.h"
#include "orvo/detector.h"
#include "orvo/export.h"
#include "orvo/region.h"

namespace orvo {

enum class GeometricModel { homography, fundamental, essential };

// "homography", "fundamental", "essential", and back (std::invalid_argument
// for another name).
ORVO_EXPORT std::string to_string(GeometricModel model);
ORVO_EXPORT GeometricModel geometric_model(const std::string& name);

struct ORVO_EXPORT MatchOptions {
    // A match is kept when its descriptor distance is below ratio times the
    // distance to the second nearest descriptor, in (0, 1].
    double ratio = 0.8;
    GeometricModel model = GeometricModel::homography;
    // Intrinsics of the two cameras, for the essential matrix (upper
    // triangular, invertible).
    cv::Matx33d K1 = cv::Matx33d::eye(), K2 = cv::Matx33d::eye();
    // Largest point error of an inlier, pixels: the transfer error for a
    // homography, Sampson's distance for the epipolar models.
    double threshold = 6.0;
    // Largest relative error of an inlier's affine map against the one the
    // model implies at its centre.
    double affine_threshold = 0.5;
    // The probability that the sampling has found an all-inlier sample,
    // in (0, 1), and the most hypotheses it may try.
    double confidence = 0.999;
    int max_iterations = 10000;
    // Threads of the detection, the description and the descriptor
    // matching (>= 1).
    int threads = 1;
    // How match() detects (the dense preset by default; its threads are
    // replaced by `threads`); each region is described grown by the
    // preset's measurement_scale.
    DetectorOptions detector = DetectorOptions::dense();

    // Throws std::invalid_argument, naming the option, when a value is out
    // of range.
    void validate() const;
};

struct MatchCounts {
    std::size_t regions1 = 0, regions2 = 0, tentative = 0, inliers = 0;
    std::size_t hypotheses = 0;  // minimal samples drawn
};

// Wall-clock times, milliseconds (detection and description are 0 for
// match_features).
struct MatchTimes {
    double detect = 0, describe = 0, match = 0, verify = 0;
};

struct MatchResult {
    // The model mapping image 1 to image 2 (a homography H with p2 ~ H p1;
    // a fundamental matrix F with p2' F p1 = 0; an essential matrix E with
    // (K2^-1 p2)' E (K1^-1 p1) = 0), scaled to unit norm; none when the
    // matches do not support one.
    std::optional<cv::Matx33d> model;
    GeometricModel kind = GeometricModel::homography;
    // One entry per tentative match: the indices of its regions in each
    // image's regions, the regions themselves, and whether it is an inlier.
    std::vector<int> index1, index2;
    std::vector<Region> regions1, regions2;
    std::vector<bool> inliers;
    MatchCounts counts;
    MatchTimes times;
};

// Detects, describes, matches and verifies. Images as for detect. A region
// whose measurement region cannot be described (can_describe: too thin,
// say) takes no part, as in AlphaFeatures; the indices of the result are
// those of detect's regions. Throws std::invalid_argument for a bad option
// or image, std::bad_alloc when memory runs out.
ORVO_EXPORT MatchResult match(const cv::Mat& image1, const cv::Mat& image2, const MatchOptions& options = {});

// Matches and verifies regions already described: for each image the
// regions, their descriptors (one row per region, the same width and type in
// both images) and their dominant orientations (radians, the direction in
// image axes, x right and y down, of the descriptor's patch x axis; as
// describe gives them). Throws std::invalid_argument for sizes that do not
// agree, regions that are not valid, or a bad option.
ORVO_EXPORT MatchResult match_features(const std::vector<Region>& regions1, const cv::Mat& descriptors1,
                                       const std::vector<float>& orientations1,
                                       const std::vector<Region>& regions2, const cv::Mat& descriptors2,
                                       const std::vector<float>& orientations2, const MatchOptions& options = {});

// Both images side by side (image 1 left, 8-bit BGR) with each inlier's two
// ellipses and the line joining their centres; outliers too, thinner and in
// red, when `with_outliers`.
ORVO_EXPORT cv::Mat draw_matches(const cv::Mat& image1, const cv::Mat& image2, const MatchResult& result,
                                 bool with_outliers = false);

}  // namespace orvo
