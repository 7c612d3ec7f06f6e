// Canny edge detection with sampled edge tracing: from an 8-bit grey image,
// the two-valued edge image, the gradient magnitude scaled to 0..255, and the
// edge pixels taken every `step` pixels along each traced edge, for one or
// more steps (the raw material of the weighted points).
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <vector>

#include "parallel/processor_time.h"

namespace orvo::detail {

// The smoothing the detector applies (its Gaussian's sigma).
constexpr double CANNY_SIGMA = 1.0;

struct canny_edges {
    cv::Mat edges;     // 8-bit: 255 on edge pixels, 0 elsewhere
    cv::Mat gradient;  // 32-bit float: the magnitude mapped linearly to 0..255
    // points[k]: the edge pixels sampled every steps[k] pixels (x = column,
    // y = row), in tracing order.
    std::vector<std::vector<cv::Point>> points;
    int high_threshold = 0;  // the hysteresis thresholds, in magnitude units
    int low_threshold = 0;
};

// Runs the detector on `image` (8-bit, one channel): the edges are detected
// once and traced once for each step. With `threads` above 1 the smoothing,
// derivatives, magnitude and suppression run in that many bands of rows at
// once, and the gradient image is filled while the edges are traced; the
// results do not depend on it. The kernels use 128-bit vector instructions
// unless cv::useOptimized() is false, with the same results. `phase`: where
// along each edge the sampling starts (see trace_edges).
canny_edges detect_canny_edges(const cv::Mat& image, double sigma, const std::vector<int>& steps, int threads = 1,
                               int phase = 0);

// The image library's Gaussian blur (sigma 0.8, replicated border) of an
// 8-bit image, which the detector applies before its own smoothing, in
// `bands` bands of rows on as many threads. The library blurs a band of rows
// seen through a window on the image differently from the whole image; each
// band is therefore blurred as an image of its own, with enough rows beyond
// it, and the result is that of the whole image.
cv::Mat presmoothed_image(const cv::Mat& image, int bands);

// What the detection keeps of the edges of an 8-bit grey image.
struct sampled_edges {
    cv::Mat gradient;                            // magnitude mapped to 0..255
    std::vector<std::vector<cv::Point>> points;  // one list per step
    int high_threshold = 0;
    int low_threshold = 0;
    std::size_t edge_pixels = 0;
    stage_lap canny_time;
};

// Detects the edges (sigma CANNY_SIGMA) once and samples them with each of
// `steps`, starting at `phase` along each edge.
sampled_edges sample_edges(const cv::Mat& grey, const std::vector<int>& steps, int threads = 1, int phase = 0);

}  // namespace orvo::detail
