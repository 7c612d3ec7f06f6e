// The edge detection's stages run one after the other on whole images, for
// tests that look at each stage's output (the detector streams them through
// bands of rows). Images are row-major arrays of rows x cols.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "edges/hysteresis.h"

// The smoothed intensity times 90, rounded.
std::vector<short> smooth_image(const std::vector<unsigned char>& image, int rows, int cols, float sigma);

struct image_gradient {
    std::vector<short> dx, dy, magnitude;
};

// Central differences (one-sided on the first and last row and column) and
// the magnitude.
image_gradient gradient_of(const std::vector<short>& smoothed, int rows, int cols);

// The suppression map: CANDIDATE or NOT_CANDIDATE on rows 1..rows-3,
// columns 1..cols-3, 0 elsewhere (magnitudes in 0..32767).
std::vector<unsigned char> suppress_non_maxima(const std::vector<short>& magnitude, const std::vector<short>& dx,
                                               const std::vector<short>& dy, int rows, int cols);

struct hysteresis_result {
    std::vector<unsigned char> edges;  // 255 on edge pixels, 0 elsewhere
    std::vector<cv::Point> points;     // sampled every `step` pixels
    orvo::detail::hysteresis_thresholds thresholds;
};

// The detector's hysteresis on a suppression map: the thresholds from the
// histogram of the candidates off the image's frame, then the tracing
// (sampled from `phase` steps past each seed).
hysteresis_result hysteresis(const std::vector<short>& magnitude, const std::vector<unsigned char>& suppression,
                             int rows, int cols, int step, int phase = 0);
