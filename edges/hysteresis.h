// Hysteresis: thresholds from the histogram of the candidates' magnitudes,
// and the edges traced from the strong candidates through the weaker ones,
// sampled every `step` pixels along each edge.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace orvo::detail {

// One histogram bin per possible magnitude (0..32767).
constexpr int HISTOGRAM_BINS = 32768;

struct hysteresis_thresholds {
    int high;   // a candidate at or above it seeds an edge
    short low;  // a candidate strictly above it continues one
};

// The detector's thresholds: the high one lies above this fraction of the
// candidates' magnitudes, the low one is this ratio of the high one.
constexpr float HIGH_THRESHOLD_FRACTION = 0.6f;
constexpr float LOW_THRESHOLD_RATIO = 0.2f;

// The high threshold is the smallest magnitude at or below which the
// fraction high_fraction of the candidates lies (histogram: HISTOGRAM_BINS
// counts); the low one is low_ratio of it.
hysteresis_thresholds choose_thresholds(const int* histogram, float low_ratio, float high_fraction);

// The hysteresis on a suppression map (rows x cols, CANDIDATE where a pixel
// survived the suppression), in place. Each candidate at or above the high
// threshold, in raster order, seeds an edge, traced depth-first through the
// candidates strictly above the low threshold, the neighbours taken east
// first then counter-clockwise. List k of the result holds the pixels
// reached after a multiple of steps[k] steps from their seed (x = column,
// y = row); the traced pixels are the same for every step. The map ends as
// the edge image: 255 on traced pixels, 0 elsewhere. With `phase` p, the
// pixels reached after p, p + steps[k], p + 2 steps[k], ... steps are
// recorded instead (the sampling started p pixels further along each edge;
// for the benchmark and tests that measure what the regions owe to it).
std::vector<std::vector<cv::Point>> trace_edges(const short* magnitude, unsigned char* map, int rows, int cols,
                                                hysteresis_thresholds thresholds, const std::vector<int>& steps,
                                                bool vectorised, int phase = 0);

}  // namespace orvo::detail
