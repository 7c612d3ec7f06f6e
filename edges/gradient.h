// Central differences and gradient magnitude of one row of the smoothed
// image.
#pragma once

namespace orvo::detail {

struct magnitude_range {
    short lo, hi;
};

// The central differences of row `mid` (one-sided in the first and last
// column), the differences below - above, and the gradient magnitude
// 0.5 + sqrt(dx * dx + dy * dy) truncated, the squares added in float.
// Returns the smallest and largest magnitude of the row.
magnitude_range gradient_row(const short* above, const short* mid, const short* below, int cols, short* dx,
                             short* dy, short* mag, bool vectorised);

}  // namespace orvo::detail
