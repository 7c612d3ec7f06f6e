// Separable Gaussian smoothing, row by row: the normalised kernel, and a
// smoother that produces the smoothed rows of an image one after the other,
// renormalised at the borders, scaled by SMOOTHING_SCALE and rounded to
// short. The vector and the plain code give the same bytes.
#pragma once

#include <cstddef>
#include <vector>

namespace orvo::detail {

// The smoothed intensity is kept as short, times this factor, rounded.
constexpr double SMOOTHING_SCALE = 90.0;

// The normalised Gaussian kernel of 1 + 2 * ceil(2.5 * sigma) taps.
std::vector<float> gaussian_kernel(float sigma);

// Produces the smoothed rows of an image one after the other, keeping the
// horizontal pass of only as many rows as the kernel spans. Input row r is
// at input + r * input_step; rows must be asked for in increasing order, one
// at a time. The kernel must outlive the smoother.
class row_smoother {
public:
    row_smoother(const std::vector<float>& kernel, int rows, int cols, const unsigned char* input,
                 std::size_t input_step, bool vectorised);

    // Writes smoothed row r (cols values) to out.
    void row(int r, short* out);

private:
    float* slot(int r) { return ring_.data() + static_cast<std::size_t>(r % taps_) * cols_; }

    const std::vector<float>& kernel_;
    int taps_, center_, rows_, cols_;
    const unsigned char* input_;
    std::size_t input_step_;
    bool vectorised_;
    std::vector<float> ring_, line_;
    std::vector<const float*> row_pointers_;
    float full_sum_ = 0.0f;
    int next_ = -1;  // the next row of the horizontal pass
};

}  // namespace orvo::detail
