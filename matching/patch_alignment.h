// Patch alignment: the affine map between two matched regions refined on
// the images' intensities.
//
// The patch of the first region (its ellipse grown by a factor, sampled on
// a circular grid) is fixed; the second image is sampled through an affine
// warp x2 = p2 + P2 u of the grid's unit-disk coordinates u, started from
// the matched centre and the map between the regions' frames. Gauss-Newton
// steps on the sum of squared differences (forward additive, a gain and a
// bias absorbing changes of contrast and brightness) move p2 (P2 held until
// the translation settles), then p2 and P2, until no patch point moves by
// more than a tolerance. Each patch is sampled from the pyramid level whose
// pixels are no larger than the grid's spacing, so large regions are
// aligned on smoothed, smaller images.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace orvo::detail {

// A grey image halved again and again (as cv::pyrDown: pixel i of level k
// shows pixel 2^k i of level 0), with each level's central-difference
// gradient, all CV_32F.
struct alignment_pyramid {
    std::vector<cv::Mat> levels, dx, dy;
};

// The pyramid of an 8-bit or float single-channel image, halved while the
// next level keeps 16 pixels or more on its shorter side.
alignment_pyramid build_alignment_pyramid(const cv::Mat& grey);

struct patch_alignment_settings {
    double radius = 2.0;  // the patch: the first region's ellipse grown by this factor
    int half = 10;        // grid samples from the patch centre to its border
    int max_iterations = 50;
    double tolerance = 0.01;  // pixels: converged when no patch point moves further in a step
    double max_shift = 0.5;   // patch radii: farther from its start, the second centre has lost its match
};

struct patch_alignment {
    cv::Vec2d point2;    // the refined second centre
    cv::Matx22d affine;  // the refined map from image 1 to image 2 near the first centre
    double gain = 1, bias = 0;  // second patch times gain plus bias matches the first
    double correlation = 0;  // normalised cross-correlation of the two patches as aligned
    int iterations = 0;
    bool converged = false;  // false: point2 and affine are the start
};

// Aligns the second region's patch onto the first's: the region of image 1
// has centre point1 and frame frame1 (the map of the unit circle onto its
// ellipse, F F' = M^-1); point2 and affine (image 1 to image 2 near point1)
// are the start.
patch_alignment align_patch(const alignment_pyramid& image1, const alignment_pyramid& image2, const cv::Vec2d& point1,
                           const cv::Matx22d& frame1, const cv::Vec2d& point2, const cv::Matx22d& affine,
                           const patch_alignment_settings& settings = {});

}  // namespace orvo::detail
