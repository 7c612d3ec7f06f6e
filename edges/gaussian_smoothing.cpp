// Separable Gaussian smoothing. The arithmetic (float sums, the scaling in
// double) is kept exactly: the sampled edge points, and so the whole
// detection, depend on every rounded value. The 128-bit kernels do, lane by
// lane, the same float and double operations in the same order as the plain
// per-pixel code beside them, which handles the columns they leave over and
// runs alone when vectorised is false.
#include "edges/gaussian_smoothing.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core/hal/intrin.hpp>
#include <type_traits>

namespace orvo::detail {
namespace {

// The kernel's taps are computed with these values of e and 2 pi (not the
// library's), on which every smoothed value depends.
constexpr double APPROXIMATE_E = 2.71828;
constexpr double APPROXIMATE_TWO_PI = 6.2831853;

// The kernel reaches this many sigmas on each side of its centre.
constexpr double KERNEL_REACH_SIGMAS = 2.5;

// The horizontal pass at column c: the products of the taps that fall inside
// the row summed in tap order, divided by the sum of those taps (all of them
// away from the borders).
float horizontal_pixel(const unsigned char* row, int cols, const float* kernel, int center, int c)
{
    float d = 0.0f, sum = 0.0f;
    const int lo = std::max(-center, -c), hi = std::min(center, cols - 1 - c);
    for (int cc = lo; cc <= hi; ++cc) {
        d += static_cast<float>(row[c + cc]) * kernel[center + cc];
        sum += kernel[center + cc];
    }
    return d / sum;
}

// The horizontal pass over a whole row. `line` is scratch room for the row
// as floats.
void horizontal_row(const unsigned char* row, int cols, const std::vector<float>& kernel, float full_sum,
                    float* line, float* out, bool vectorised)
{
    const int taps = static_cast<int>(kernel.size()), center = taps / 2;
    const int first = std::min(center, cols), last = std::max(first, cols - center);
    int c = first;
#if CV_SIMD128
    if (vectorised && last - first >= 8) {
        int i = 0;
        for (; i + 16 <= cols; i += 16) {
            cv::v_uint16x8 a, b;
            cv::v_expand(cv::v_load(row + i), a, b);
            cv::v_uint32x4 a0, a1, b0, b1;
            cv::v_expand(a, a0, a1);
            cv::v_expand(b, b0, b1);
            cv::v_store(line + i, cv::v_cvt_f32(cv::v_reinterpret_as_s32(a0)));
            cv::v_store(line + i + 4, cv::v_cvt_f32(cv::v_reinterpret_as_s32(a1)));
            cv::v_store(line + i + 8, cv::v_cvt_f32(cv::v_reinterpret_as_s32(b0)));
            cv::v_store(line + i + 12, cv::v_cvt_f32(cv::v_reinterpret_as_s32(b1)));
        }
        for (; i < cols; ++i) line[i] = static_cast<float>(row[i]);
        const cv::v_float32x4 divisor = cv::v_setall_f32(full_sum);
        // Sixteen columns at a time keep four independent sums in flight.
        auto block = [&](auto groups) {
            constexpr int N = decltype(groups)::value;
            cv::v_float32x4 d[N];
            for (int j = 0; j < N; ++j) d[j] = cv::v_setzero_f32();
            const float* in = line + c - center;
            for (int t = 0; t < taps; ++t) {
                const cv::v_float32x4 k = cv::v_setall_f32(kernel[t]);
                for (int j = 0; j < N; ++j) d[j] = d[j] + cv::v_load(in + t + 4 * j) * k;
            }
            for (int j = 0; j < N; ++j) cv::v_store(out + c + 4 * j, d[j] / divisor);
        };
        for (; c + 16 <= last; c += 16) block(std::integral_constant<int, 4>());
        for (; c + 8 <= last; c += 8) block(std::integral_constant<int, 2>());
    }
#else
    (void)line;
    (void)full_sum;
    (void)vectorised;
#endif
    for (int x = 0; x < first; ++x) out[x] = horizontal_pixel(row, cols, kernel.data(), center, x);
    for (; c < cols; ++c) out[c] = horizontal_pixel(row, cols, kernel.data(), center, c);
}

// The vertical pass over a row: in[t] is the horizontal pass of the t-th row
// under the taps k[0..taps-1] (those inside the image), `divisor` the sum of
// those taps. The result is scaled by SMOOTHING_SCALE and rounded, in double.
void vertical_row(const float* const* in, const float* k, int taps, double divisor, int cols, short* out,
                  bool vectorised)
{
    int c = 0;
#if CV_SIMD128
    if (vectorised) {
        const cv::v_float64x2 boost = cv::v_setall_f64(SMOOTHING_SCALE), div = cv::v_setall_f64(divisor),
                              half = cv::v_setall_f64(0.5);
        auto scale = [&](const cv::v_float32x4& d) {
            const cv::v_int32x4 lo = cv::v_trunc(cv::v_cvt_f64(d) * boost / div + half);
            const cv::v_int32x4 hi = cv::v_trunc(cv::v_cvt_f64_high(d) * boost / div + half);
            return cv::v_combine_low(lo, hi);
        };
        auto block = [&](auto groups) {
            constexpr int N = decltype(groups)::value;
            cv::v_float32x4 d[N];
            for (int j = 0; j < N; ++j) d[j] = cv::v_setzero_f32();
            for (int t = 0; t < taps; ++t) {
                const cv::v_float32x4 w = cv::v_setall_f32(k[t]);
                for (int j = 0; j < N; ++j) d[j] = d[j] + cv::v_load(in[t] + c + 4 * j) * w;
            }
            for (int j = 0; j < N; j += 2) cv::v_store(out + c + 4 * j, cv::v_pack(scale(d[j]), scale(d[j + 1])));
        };
        for (; c + 16 <= cols; c += 16) block(std::integral_constant<int, 4>());
        for (; c + 8 <= cols; c += 8) block(std::integral_constant<int, 2>());
    }
#else
    (void)vectorised;
#endif
    for (; c < cols; ++c) {
        float d = 0.0f;
        for (int t = 0; t < taps; ++t) d += in[t][c] * k[t];
        out[c] = static_cast<short>(d * SMOOTHING_SCALE / divisor + 0.5);
    }
}

}  // namespace

std::vector<float> gaussian_kernel(float sigma)
{
    const int window_size = 1 + 2 * static_cast<int>(std::ceil(KERNEL_REACH_SIGMAS * sigma));
    const int center = window_size / 2;
    std::vector<float> kernel(window_size);
    float sum = 0.0f;
    for (int i = 0; i < window_size; ++i) {
        const float x = static_cast<float>(i - center);
        const float fx = static_cast<float>(std::pow(APPROXIMATE_E, -0.5 * x * x / (sigma * sigma)) /
                                            (sigma * std::sqrt(APPROXIMATE_TWO_PI)));
        kernel[i] = fx;
        sum += fx;
    }
    for (float& k : kernel) k /= sum;
    return kernel;
}


row_smoother::row_smoother(const std::vector<float>& kernel, int rows, int cols, const unsigned char* input,
                           std::size_t input_step, bool vectorised)
    : kernel_(kernel), taps_(static_cast<int>(kernel.size())), center_(taps_ / 2), rows_(rows), cols_(cols),
      input_(input), input_step_(input_step), vectorised_(vectorised),
      ring_(std::vector<float>(static_cast<std::size_t>(taps_) * cols)), line_(std::vector<float>(cols)),
      row_pointers_(taps_)
{
    for (float k : kernel) full_sum_ += k;
}

void row_smoother::row(int r, short* out)
{
    const int lo = std::max(-center_, -r), hi = std::min(center_, rows_ - 1 - r);
    if (next_ < 0) next_ = r + lo;
    for (; next_ <= r + hi; ++next_)
        horizontal_row(input_ + static_cast<std::size_t>(next_) * input_step_, cols_, kernel_, full_sum_, line_.data(),
                       slot(next_), vectorised_);
    float sum = 0.0f;
    for (int rr = lo; rr <= hi; ++rr) {
        sum += kernel_[center_ + rr];
        row_pointers_[rr - lo] = slot(r + rr);
    }
    vertical_row(row_pointers_.data(), kernel_.data() + center_ + lo, hi - lo + 1, sum, cols_, out, vectorised_);
}

}  // namespace orvo::detail
