// The image halved again and again, for sampling patches at the resolution
// they need: level 0 is the 8-bit grey image itself (not copied), level k
// the image smoothed by the 5 x 5 binomial kernel and halved k times, in
// floating point, borders mirrored without repeating the edge pixel.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace orvo::detail {

class image_pyramid {
public:
    // Builds the levels up to `highest` (at most the last whose previous
    // level is 32 pixels or more on its shorter side), on up to `threads`
    // threads. `grey` is CV_8UC1 and must outlive the pyramid.
    image_pyramid(const cv::Mat& grey, int highest, int threads);

    // The highest level the image allows: halving stops once a level is
    // shorter than 32 pixels on either side.
    static int highest_possible(cv::Size size);

    int highest() const { return static_cast<int>(levels_.size()) - 1; }
    // CV_8UC1 at level 0, CV_32FC1 above.
    const cv::Mat& level(int k) const { return levels_[k]; }

private:
    std::vector<cv::Mat> levels_;
};

}  // namespace orvo::detail
