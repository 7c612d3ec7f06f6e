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
// its inliers and fits the final model to all of them. Then each inlier is
// refined on the images: the second region's patch is aligned onto the
// first's (an affine map of the intensities with a gain and a bias, started
// from the map between the frames), and the model is fitted again to the
// refined points.
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
    double ransac_threshold = 6.0;
    // Largest relative error of an inlier's affine map against the one the
    // model implies at its centre.
    double affine_threshold = 0.5;
    // The probability that the sampling has found an all-inlier sample,
    // in (0, 1), and the most hypotheses it may try.
    double confidence = 0.999;
    int max_iterations = 10000;
    // How match() detects (the dense preset by default); each region is
    // described grown by the preset's measurement_scale. detector.threads
    // are the threads of every stage: detection, description and the
    // descriptor matching (of match_features too).
    DetectorOptions detector = DetectorOptions::dense();
    // Whether match() refines the inliers on the images and fits the model
    // again to the refined points (refine_matches).
    bool refine = true;

    // Throws std::invalid_argument, naming the option and its range, when a
    // value is out of range. The options and their ranges are listed in one
    // table (library/option_table.cpp).
    void validate() const;
};

struct MatchCounts {
    std::size_t regions1 = 0, regions2 = 0, tentative = 0, inliers = 0;
    std::size_t hypotheses = 0;  // minimal samples drawn
};

// Wall-clock times, milliseconds (detection and description are 0 for
// match_features, refinement 0 until refine_matches).
struct MatchTimes {
    double detect = 0, describe = 0, match = 0, verify = 0, refine = 0;
};

struct MatchResult {
    // The model mapping image 1 to image 2 (a homography H with p2 ~ H p1;
    // a fundamental matrix F with p2' F p1 = 0; an essential matrix E with
    // (K2^-1 p2)' E (K1^-1 p1) = 0); a homography scaled to H(2, 2) = 1 as
    // OpenCV gives them (to unit norm in the rare case H(2, 2) is 0), the
    // epipolar matrices to unit norm; none when the matches do not support
    // one.
    std::optional<cv::Matx33d> model;
    GeometricModel kind = GeometricModel::homography;
    // One entry per tentative match: the indices of its regions in each
    // image's regions, the regions themselves, and whether it is an inlier.
    std::vector<int> index1, index2;
    std::vector<Region> regions1, regions2;
    std::vector<bool> inliers;
    // Per tentative match: the Euclidean distance of its two descriptors,
    // and its ratio to the distance from the first to its second nearest
    // descriptor in image 2 (0 when image 2 has a single region).
    std::vector<double> distances, ratios;
    // One entry per tentative match too: its centre in image 1, its point in
    // image 2 and the affine map from image 1 to image 2 near the first (as
    // the regions' oriented frames give them), and whether refine_matches
    // has moved the second point and the map to where the patches align.
    std::vector<cv::Point2d> points1, points2;
    std::vector<cv::Matx22d> affines;
    std::vector<bool> refined;
    // Each tentative match's point error under the model, pixels (the
    // transfer error for a homography, Sampson's distance for the epipolar
    // models; infinite without a model).
    std::vector<double> errors;
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

// Refines the inliers of a result against the two images it was matched on
// (images as for detect): each inlier's second point and affine map move to
// where the second region's patch (the first region's ellipse grown twice,
// mapped by the affine map) best aligns with the first's; inliers whose
// alignment does not converge keep theirs. The model is then fitted again
// to the points and the inliers counted again under it. Does nothing
// without a model. Throws std::invalid_argument for a bad image or option,
// or a result whose arrays do not agree in length.
ORVO_EXPORT void refine_matches(const cv::Mat& image1, const cv::Mat& image2, MatchResult& result,
                                const MatchOptions& options = {});

// What draw_matches shows.
struct MatchDrawing {
    // The rejected matches too, thin and in red.
    bool outliers = false;
    // At most this many inliers, spread evenly over them (0: all).
    std::size_t inliers = 0;
    // Each inlier coloured by its point error under the model (the
    // result's errors), from green at 0 through yellow to red at
    // `error_scale` pixels and beyond, rather than in a colour of its own.
    bool colour_by_error = false;
    double error_scale = 4.0;
};

// Both images side by side (image 1 left, 8-bit BGR) with the inliers' two
// ellipses and the lines joining their centres. Throws
// std::invalid_argument for a bad image or a negative or non-finite
// error_scale.
ORVO_EXPORT cv::Mat draw_matches(const cv::Mat& image1, const cv::Mat& image2, const MatchResult& result,
                                 const MatchDrawing& drawing = {});
// All inliers, and the outliers when `with_outliers` (as before MatchDrawing).
ORVO_EXPORT cv::Mat draw_matches(const cv::Mat& image1, const cv::Mat& image2, const MatchResult& result,
                                 bool with_outliers);

}  // namespace orvo
