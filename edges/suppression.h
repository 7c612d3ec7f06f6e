// Non-maximum suppression with interpolation along the gradient, one row at
// a time: which pixels remain candidates for the hysteresis.
#pragma once

namespace orvo::detail {

// Labels of the suppression map. (NOT_CANDIDATE ^ 0x7f is CANDIDATE.)
constexpr unsigned char CANDIDATE = 128;
constexpr unsigned char NOT_CANDIDATE = 255;

// Suppression of columns 1..cols-3 of row `mid`: CANDIDATE for the
// candidates, NOT_CANDIDATE for the others. When `histogram` is not null, each
// candidate is counted in the bin of its magnitude.
void suppression_row(const short* above, const short* mid, const short* below, const short* gx, const short* gy,
                     int cols, unsigned char* out, int* histogram, bool vectorised);

}  // namespace orvo::detail
