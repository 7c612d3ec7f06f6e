// The front stages of the edge detection over a band of rows.
#include "edges/row_bands.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "edges/gaussian_smoothing.h"
#include "edges/hysteresis.h"
#include "edges/suppression.h"

namespace orvo::detail {

band_buffers::band_buffers(int first, int end, int cols, bool own_histogram)
    : first(first), end(end), smoothed(3 * static_cast<std::size_t>(cols)), dx(2 * static_cast<std::size_t>(cols)),
      dy(2 * static_cast<std::size_t>(cols)), halo(2 * static_cast<std::size_t>(cols))
{
    if (own_histogram) histogram = std::vector<int>(HISTOGRAM_BINS);
}

void compute_band(const cv::Mat& presmoothed, const std::vector<float>& kernel, band_buffers& band, short* magnitude,
                  unsigned char* map, int* histogram, bool vectorised)
{
    const int rows = presmoothed.rows, cols = presmoothed.cols;
    const std::size_t ucols = static_cast<std::size_t>(cols);
    // Magnitude rows first_mag..last_mag (one beyond the band on each side
    // for the suppression), and the smoothed rows around them.
    const int first_mag = std::max(band.first - 1, 0), last_mag = std::min(band.end, rows - 1);
    const int first_smooth = std::max(first_mag - 1, 0);
    row_smoother smooth(kernel, rows, cols, presmoothed.ptr<unsigned char>(), presmoothed.step, vectorised);

    std::memset(map + band.first * ucols, NOT_CANDIDATE, (band.end - band.first) * ucols);
    short lo = SHRT_MAX, hi = SHRT_MIN;
    auto smoothed_row = [&](int r) { return band.smoothed.data() + (r % 3) * ucols; };
    auto mag_row = [&](int r) {
        if (r < band.first) return band.halo.data();
        if (r >= band.end) return band.halo.data() + ucols;
        return magnitude + r * ucols;
    };
    int next_smooth = first_smooth;
    for (int r = first_mag; r <= last_mag; ++r) {
        for (; next_smooth <= std::min(r + 1, rows - 1); ++next_smooth)
            smooth.row(next_smooth, smoothed_row(next_smooth));
        short* dx = band.dx.data() + (r % 2) * ucols;
        short* dy = band.dy.data() + (r % 2) * ucols;
        const magnitude_range row = gradient_row(smoothed_row(std::max(r - 1, 0)), smoothed_row(r),
                                                 smoothed_row(std::min(r + 1, rows - 1)), cols, dx, dy, mag_row(r),
                                                 vectorised);
        if (r >= band.first && r < band.end) {
            lo = std::min(lo, row.lo);
            hi = std::max(hi, row.hi);
        }
        const int s = r - 1;  // the row whose neighbours are now all known
        if (s >= band.first && s < band.end && s >= 1 && s <= rows - 3)
            suppression_row(mag_row(s - 1), mag_row(s), mag_row(s + 1), band.dx.data() + (s % 2) * ucols,
                            band.dy.data() + (s % 2) * ucols, cols, map + s * ucols, histogram, vectorised);
    }
    band.range = {lo, hi};
}

}  // namespace orvo::detail
