// The front stages of the edge detection (smoothing, derivatives, magnitude,
// suppression) over a band of rows, streaming through it with only a few
// rows of their intermediate images, so that only the magnitude and the
// suppression map are whole images. A band recomputes the rows just outside
// it that it needs, so bands are independent and may run on separate
// threads.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "edges/gradient.h"

namespace orvo::detail {

// What one band needs besides the shared images, allocated before the bands
// start.
struct band_buffers {
    int first = 0, end = 0;  // the band's rows [first, end)
    std::vector<short> smoothed, dx, dy, halo;
    std::vector<int> histogram;  // empty when the band counts into a shared one
    magnitude_range range{0, 0};  // smallest and largest magnitude of the band's rows

    band_buffers(int first, int end, int cols, bool own_histogram);
};

// Computes, for the band's rows, the magnitude (into `magnitude`) and the
// suppression map (into `map`: CANDIDATE or NOT_CANDIDATE, the frame and
// the second-to-last row and column NOT_CANDIDATE), counting the
// candidates' magnitudes in `histogram`, and the band's magnitude range.
// `presmoothed` is the whole image, `kernel` the Gaussian kernel.
void compute_band(const cv::Mat& presmoothed, const std::vector<float>& kernel, band_buffers& band, short* magnitude,
                  unsigned char* map, int* histogram, bool vectorised);

}  // namespace orvo::detail
