// Canny edge detector with sampled edge tracing. The arithmetic (float where
// the smoothing and suppression work in float, double where they widen) is
// kept exactly, since the sampled points decide the whole detection.
//
// Every stage works row by row. The 128-bit kernels do, lane by lane, the
// same float and double operations in the same order as the plain per-pixel
// code beside them, which handles the columns they leave over and runs alone
// when cv::useOptimized() is false; both give the same bytes.
//
// The front stages (smoothing, derivatives, magnitude, suppression) stream
// through each band of rows keeping only a few rows of their intermediate
// images, so that only the magnitude and the edge map are whole images. A
// band recomputes the rows just outside it that it needs, so bands are
// independent and may run on separate threads.
#include "edges/canny.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>
#include <system_error>
#include <thread>
#include <type_traits>

namespace {

constexpr double BOOSTBLURFACTOR = 90.0;

// One bin per possible magnitude (0..32767).
constexpr int HISTOGRAM_BINS = 32768;

// Allocates n elements left uninitialised, for images that are written
// whole before they are read: their pages are first touched by the threads
// that fill them. Memory exhaustion is std::bad_alloc, as everywhere.
template <class T>
std::unique_ptr<T[]> allocate_uninitialised(std::size_t n)
{
    return std::unique_ptr<T[]>(new T[n]);
}

// Runs job(0) .. job(count - 1), each on its own thread, the calling thread
// doing job 0. A job whose thread cannot be started runs on the calling
// thread after job 0. The first exception of a job is rethrown once all of
// them have ended.
template <class Job>
void run_jobs(int count, const Job& job)
{
    std::vector<std::exception_ptr> errors(count);
    auto guarded = [&](int j) {
        try {
            job(j);
        } catch (...) {
            errors[j] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    std::vector<int> unstarted;
    threads.reserve(count);
    unstarted.reserve(count);
    for (int j = 1; j < count; ++j) {
        try {
            threads.emplace_back(guarded, j);
        } catch (const std::system_error&) {
            unstarted.push_back(j);
        }
    }
    guarded(0);
    for (int j : unstarted) guarded(j);
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

// ---------------------------------------------------------------------------
// Smoothing

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
// those taps. The result is scaled by BOOSTBLURFACTOR and rounded, in double.
void vertical_row(const float* const* in, const float* k, int taps, double divisor, int cols, short* out,
                  bool vectorised)
{
    int c = 0;
#if CV_SIMD128
    if (vectorised) {
        const cv::v_float64x2 boost = cv::v_setall_f64(BOOSTBLURFACTOR), div = cv::v_setall_f64(divisor),
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
        out[c] = static_cast<short>(d * BOOSTBLURFACTOR / divisor + 0.5);
    }
}

// Produces the smoothed rows of an image one after the other, keeping the
// horizontal pass of only as many rows as the kernel spans. Input row r is
// at input + r * input_step; rows must be asked for in increasing order, one
// at a time.
class smoother {
public:
    smoother(const std::vector<float>& kernel, int rows, int cols, const unsigned char* input,
             std::size_t input_step, bool vectorised)
        : kernel_(kernel), taps_(static_cast<int>(kernel.size())), center_(taps_ / 2), rows_(rows), cols_(cols),
          input_(input), input_step_(input_step), vectorised_(vectorised),
          ring_(std::vector<float>(static_cast<std::size_t>(taps_) * cols)),
          line_(std::vector<float>(cols)),
          rowptr_(taps_)
    {
        for (float k : kernel) full_sum_ += k;
    }

    void row(int r, short* out)
    {
        const int lo = std::max(-center_, -r), hi = std::min(center_, rows_ - 1 - r);
        if (next_ < 0) next_ = r + lo;
        for (; next_ <= r + hi; ++next_)
            horizontal_row(input_ + static_cast<std::size_t>(next_) * input_step_, cols_, kernel_,
                           full_sum_, line_.data(), slot(next_), vectorised_);
        float sum = 0.0f;
        for (int rr = lo; rr <= hi; ++rr) {
            sum += kernel_[center_ + rr];
            rowptr_[rr - lo] = slot(r + rr);
        }
        vertical_row(rowptr_.data(), kernel_.data() + center_ + lo, hi - lo + 1, sum, cols_, out, vectorised_);
    }

private:
    float* slot(int r) { return ring_.data() + static_cast<std::size_t>(r % taps_) * cols_; }

    const std::vector<float>& kernel_;
    int taps_, center_, rows_, cols_;
    const unsigned char* input_;
    std::size_t input_step_;
    bool vectorised_;
    std::vector<float> ring_, line_;
    std::vector<const float*> rowptr_;
    float full_sum_ = 0.0f;
    int next_ = -1;  // the next row of the horizontal pass
};

// ---------------------------------------------------------------------------
// Derivatives and magnitude

// The central differences of row `mid` (one-sided in the first and last
// column), the differences below - above, and the gradient magnitude
// 0.5 + sqrt(dx * dx + dy * dy) truncated, the squares added in float. The
// smallest and largest magnitudes are folded into lo and hi.
void gradient_row(const short* above, const short* mid, const short* below, int cols, short* dx, short* dy,
                  short* mag, short& lo, short& hi, bool vectorised)
{
    dx[0] = static_cast<short>(mid[1] - mid[0]);
    dx[cols - 1] = static_cast<short>(mid[cols - 1] - mid[cols - 2]);
    int c = 1;
#if CV_SIMD128
    if (vectorised)
        for (; c + 8 <= cols - 1; c += 8)
            cv::v_store(dx + c, cv::v_sub_wrap(cv::v_load(mid + c + 1), cv::v_load(mid + c - 1)));
#endif
    for (; c < cols - 1; ++c) dx[c] = static_cast<short>(mid[c + 1] - mid[c - 1]);

    c = 0;
#if CV_SIMD128
    if (vectorised && cols >= 8) {
        // The root is 0 or at least 1 (x is a sum of squares of integers).
        // Then root + 0.5 is exact in double, and rounding it to float never
        // carries it across an integer: float gives the same truncation.
        const cv::v_float32x4 half = cv::v_setall_f32(0.5f);
        cv::v_int16x8 vlo = cv::v_setall_s16(lo), vhi = cv::v_setall_s16(hi);
        for (; c + 8 <= cols; c += 8) {
            const cv::v_int16x8 x = cv::v_load(dx + c);
            const cv::v_int16x8 y = cv::v_sub_wrap(cv::v_load(below + c), cv::v_load(above + c));
            cv::v_store(dy + c, y);
            cv::v_int32x4 xx0, xx1, yy0, yy1;
            cv::v_mul_expand(x, x, xx0, xx1);
            cv::v_mul_expand(y, y, yy0, yy1);
            const cv::v_int32x4 m0 = cv::v_trunc(cv::v_sqrt(cv::v_cvt_f32(xx0) + cv::v_cvt_f32(yy0)) + half);
            const cv::v_int32x4 m1 = cv::v_trunc(cv::v_sqrt(cv::v_cvt_f32(xx1) + cv::v_cvt_f32(yy1)) + half);
            const cv::v_int16x8 m = cv::v_pack(m0, m1);
            cv::v_store(mag + c, m);
            vlo = cv::v_min(vlo, m);
            vhi = cv::v_max(vhi, m);
        }
        lo = cv::v_reduce_min(vlo);
        hi = cv::v_reduce_max(vhi);
    }
#endif
    for (; c < cols; ++c) {
        dy[c] = static_cast<short>(below[c] - above[c]);
        const int x = dx[c], y = dy[c];
        const short m = static_cast<short>(0.5 + std::sqrt(static_cast<float>(x * x) + static_cast<float>(y * y)));
        mag[c] = m;
        lo = std::min(lo, m);
        hi = std::max(hi, m);
    }
}

// ---------------------------------------------------------------------------
// Non-maximum suppression

// Whether pixel c of row `mid` survives the suppression: the magnitude
// interpolated on both sides along the gradient direction lies below it.
bool is_candidate(const short* above, const short* mid, const short* below, short gx, short gy, int c)
{
    const short m = mid[c];
    if (m == 0) return false;
    const float xperp = -gx / static_cast<float>(m);
    const float yperp = gy / static_cast<float>(m);
    const int E = mid[c + 1], W = mid[c - 1];
    const int N = above[c], S = below[c];
    const int NE = above[c + 1], NW = above[c - 1];
    const int SE = below[c + 1], SW = below[c - 1];
    float mag1, mag2;
    if (gx >= 0) {
        if (gy >= 0) {
            if (gx >= gy) {
                mag1 = (m - W) * xperp + (NW - W) * yperp;
                mag2 = (m - E) * xperp + (SE - E) * yperp;
            } else {
                mag1 = (N - NW) * xperp + (N - m) * yperp;
                mag2 = (S - SE) * xperp + (S - m) * yperp;
            }
        } else {
            if (gx >= -gy) {
                mag1 = (m - W) * xperp + (W - SW) * yperp;
                mag2 = (m - E) * xperp + (E - NE) * yperp;
            } else {
                mag1 = (S - SW) * xperp + (m - S) * yperp;
                mag2 = (N - NE) * xperp + (m - N) * yperp;
            }
        }
    } else {
        if (gy >= 0) {
            if (-gx >= gy) {
                mag1 = (E - m) * xperp + (NE - E) * yperp;
                mag2 = (W - m) * xperp + (SW - W) * yperp;
            } else {
                mag1 = (NE - N) * xperp + (N - m) * yperp;
                mag2 = (SW - S) * xperp + (S - m) * yperp;
            }
        } else {
            if (-gx > -gy) {
                mag1 = (E - m) * xperp + (E - SE) * yperp;
                mag2 = (W - m) * xperp + (W - NW) * yperp;
            } else {
                mag1 = (SE - S) * xperp + (m - S) * yperp;
                mag2 = (NW - N) * xperp + (m - N) * yperp;
            }
        }
    }
    return !(mag1 > 0.0f || mag2 >= 0.0f);
}

#if CV_SIMD128
// Exchanges a and b in the lanes where `mask` is set.
inline void swap_where(const cv::v_int16x8& mask, cv::v_int16x8& a, cv::v_int16x8& b)
{
    const cv::v_int16x8 t = (a ^ b) & mask;
    a = a ^ t;
    b = b ^ t;
}

// The candidate mask (all ones) of eight pixels of a row, from column c.
//
// The eight sign and slope cases of is_candidate are one case seen through
// mirrors: with the neighbourhood mirrored left-right where gx < 0 and
// top-bottom where gy < 0, every case becomes the one for gx, gy >= 0
// (interpolating towards W/NW or N/NW, and E/SE or S/SE), with xperp =
// -|gx| / m and yperp = |gy| / m. A mirrored difference is the negation of
// the original one and the mirrored perpendicular the negation of the
// original too, so each product is the same float (up to the sign of a
// zero, which no comparison sees). Only whether the slope counts as
// horizontal keeps the exact tie rules of each case.
inline cv::v_int16x8 candidates8(const short* above, const short* mid, const short* below, const short* gxrow,
                                 const short* gyrow, int c)
{
    using namespace cv;
    const v_int16x8 zero = v_setzero_s16();
    const v_int16x8 m = v_load(mid + c), gx = v_load(gxrow + c), gy = v_load(gyrow + c);
    v_int16x8 W = v_load(mid + c - 1), E = v_load(mid + c + 1);
    v_int16x8 N = v_load(above + c), NW = v_load(above + c - 1), NE = v_load(above + c + 1);
    v_int16x8 S = v_load(below + c), SW = v_load(below + c - 1), SE = v_load(below + c + 1);

    const v_int16x8 sx = gx < zero, sy = gy < zero;
    // Horizontal: gx >= gy (both >= 0), gx + gy >= 0 (gx >= 0 > gy),
    // gx + gy <= 0 (gy >= 0 > gx), -gx > -gy (both < 0). The sum is taken
    // only where the signs differ, so it cannot wrap.
    const v_int16x8 sum = v_add_wrap(gx, gy);
    const v_int16x8 same_sign = ~(sx ^ sy);
    const v_int16x8 horizontal =
        v_select(same_sign, (gx >= gy) ^ sx, v_select(sx, sum <= zero, sum >= zero));

    swap_where(sx, W, E);
    swap_where(sx, NW, NE);
    swap_where(sx, SW, SE);
    swap_where(sy, N, S);
    NW = v_select(sy, SW, NW);
    SE = v_select(sy, NE, SE);

    const v_int16x8 a1 = v_select(horizontal, v_sub_wrap(m, W), v_sub_wrap(N, NW));
    const v_int16x8 b1 = v_select(horizontal, v_sub_wrap(NW, W), v_sub_wrap(N, m));
    const v_int16x8 a2 = v_select(horizontal, v_sub_wrap(m, E), v_sub_wrap(S, SE));
    const v_int16x8 b2 = v_select(horizontal, v_sub_wrap(SE, E), v_sub_wrap(S, m));

    v_int32x4 m_[2], gx_[2], gy_[2], a1_[2], b1_[2], a2_[2], b2_[2];
    v_expand(m, m_[0], m_[1]);
    v_expand(gx, gx_[0], gx_[1]);
    v_expand(gy, gy_[0], gy_[1]);
    v_expand(a1, a1_[0], a1_[1]);
    v_expand(b1, b1_[0], b1_[1]);
    v_expand(a2, a2_[0], a2_[1]);
    v_expand(b2, b2_[0], b2_[1]);
    const v_float32x4 fzero = v_setzero_f32();
    v_int32x4 suppressed[2];
    for (int h = 0; h < 2; ++h) {
        const v_float32x4 fm = v_cvt_f32(m_[h]);
        const v_float32x4 xperp = (fzero - v_abs(v_cvt_f32(gx_[h]))) / fm;
        const v_float32x4 yperp = v_abs(v_cvt_f32(gy_[h])) / fm;
        const v_float32x4 mag1 = v_cvt_f32(a1_[h]) * xperp + v_cvt_f32(b1_[h]) * yperp;
        const v_float32x4 mag2 = v_cvt_f32(a2_[h]) * xperp + v_cvt_f32(b2_[h]) * yperp;
        suppressed[h] = v_reinterpret_as_s32((mag1 > fzero) | (mag2 >= fzero));
    }
    return ~v_pack(suppressed[0], suppressed[1]) & ~(m == zero);
}
#endif

// Suppression of columns 1..cols-3 of row `mid`: POSSIBLE_EDGE for the
// candidates, NOEDGE for the others. When `histogram` is not null, each
// candidate is counted in the bin of its magnitude.
void suppression_row(const short* above, const short* mid, const short* below, const short* gx, const short* gy,
                     int cols, unsigned char* out, int* histogram, bool vectorised)
{
    const int last = cols - 3;
    int c = 1;
#if CV_SIMD128
    if (vectorised) {
        const cv::v_uint8x16 low7 = cv::v_setall_u8(0x7f), noedge = cv::v_setall_u8(NOEDGE);
        for (; c + 7 <= last; c += 8) {
            const cv::v_int16x8 cand = candidates8(above, mid, below, gx, gy, c);
            // NOEDGE ^ 0x7f is POSSIBLE_EDGE.
            const cv::v_uint8x16 bytes = cv::v_reinterpret_as_u8(cv::v_pack(cand, cand));
            cv::v_store_low(out + c, (bytes & low7) ^ noedge);
            if (histogram)
                for (unsigned bits = static_cast<unsigned>(cv::v_signmask(cand)); bits != 0; bits &= bits - 1)
                    ++histogram[mid[c + __builtin_ctz(bits)]];
        }
    }
#else
    (void)vectorised;
#endif
    for (; c <= last; ++c) {
        const bool cand = is_candidate(above, mid, below, gx[c], gy[c], c);
        out[c] = cand ? POSSIBLE_EDGE : NOEDGE;
        if (histogram && cand) ++histogram[mid[c]];
    }
}

// ---------------------------------------------------------------------------
// The front stages over a band of rows

// What one band needs besides the shared images, allocated before the bands
// start.
struct band_work {
    int first = 0, end = 0;  // the band's rows [first, end)
    std::vector<short> smoothed, dx, dy, halo;
    std::vector<int> histogram;
    short lo = 0, hi = 0;  // smallest and largest magnitude of the band's rows
};

void prepare_band(band_work& w, int first, int end, int cols, bool own_histogram)
{
    w.first = first;
    w.end = end;
    w.smoothed = std::vector<short>(3 * static_cast<std::size_t>(cols));
    w.dx = std::vector<short>(2 * static_cast<std::size_t>(cols));
    w.dy = std::vector<short>(2 * static_cast<std::size_t>(cols));
    w.halo = std::vector<short>(2 * static_cast<std::size_t>(cols));
    if (own_histogram) w.histogram = std::vector<int>(HISTOGRAM_BINS);
}

// Computes, for the band's rows, the magnitude (into `mag`) and the
// suppression map (into `edge`: POSSIBLE_EDGE or NOEDGE, the frame and the
// second-to-last row and column NOEDGE), counting the candidates' magnitudes
// in `histogram`.
void run_band(const cv::Mat& presmoothed, const std::vector<float>& kernel, band_work& w, short* mag,
              unsigned char* edge, int* histogram, bool vectorised)
{
    const int rows = presmoothed.rows, cols = presmoothed.cols;
    const std::size_t ucols = static_cast<std::size_t>(cols);
    // Magnitude rows first_mag..last_mag (one beyond the band on each side
    // for the suppression), and the smoothed rows around them.
    const int first_mag = std::max(w.first - 1, 0), last_mag = std::min(w.end, rows - 1);
    const int first_smooth = std::max(first_mag - 1, 0);
    smoother smooth(kernel, rows, cols, presmoothed.ptr<unsigned char>(), presmoothed.step, vectorised);

    std::memset(edge + w.first * ucols, NOEDGE, (w.end - w.first) * ucols);
    short lo = SHRT_MAX, hi = SHRT_MIN;
    auto smoothed_row = [&](int r) { return w.smoothed.data() + (r % 3) * ucols; };
    auto mag_row = [&](int r) {
        if (r < w.first) return w.halo.data();
        if (r >= w.end) return w.halo.data() + ucols;
        return mag + r * ucols;
    };
    int next_smooth = first_smooth;
    for (int r = first_mag; r <= last_mag; ++r) {
        for (; next_smooth <= std::min(r + 1, rows - 1); ++next_smooth) smooth.row(next_smooth, smoothed_row(next_smooth));
        short* dx = w.dx.data() + (r % 2) * ucols;
        short* dy = w.dy.data() + (r % 2) * ucols;
        short row_lo = SHRT_MAX, row_hi = SHRT_MIN;
        gradient_row(smoothed_row(std::max(r - 1, 0)), smoothed_row(r), smoothed_row(std::min(r + 1, rows - 1)), cols,
                     dx, dy, mag_row(r), row_lo, row_hi, vectorised);
        if (r >= w.first && r < w.end) {
            lo = std::min(lo, row_lo);
            hi = std::max(hi, row_hi);
        }
        const int s = r - 1;  // the row whose neighbours are now all known
        if (s >= w.first && s < w.end && s >= 1 && s <= rows - 3)
            suppression_row(mag_row(s - 1), mag_row(s), mag_row(s + 1), w.dx.data() + (s % 2) * ucols,
                            w.dy.data() + (s % 2) * ucols, cols, edge + s * ucols, histogram, vectorised);
    }
    w.lo = lo;
    w.hi = hi;
}

// ---------------------------------------------------------------------------
// Hysteresis

// Codes of the edge map while the edges are traced.
constexpr unsigned char FOLLOW = 1;     // a candidate above the low threshold
constexpr unsigned char SEED = 2;       // a candidate at or above the high threshold
constexpr unsigned char TRACED = 0x80;  // on a traced edge

struct thresholds {
    int high;
    short low;
};

// The high threshold is the smallest magnitude at or below which the
// fraction thigh of the candidates lies, the low one tlow of it.
thresholds choose_thresholds(const int* histogram, float tlow, float thigh)
{
    int numedges = 0, maximum_mag = 0;
    for (int r = 1; r < HISTOGRAM_BINS; ++r) {
        if (histogram[r] != 0) maximum_mag = r;
        numedges += histogram[r];
    }
    const int highcount = static_cast<int>(numedges * thigh + 0.5);
    int r = 1;
    numedges = histogram[1];
    while (r < maximum_mag - 1 && numedges < highcount) {
        ++r;
        numedges += histogram[r];
    }
    return {r, static_cast<short>(static_cast<int>(r * tlow + 0.5))};
}

// Replaces POSSIBLE_EDGE by FOLLOW and SEED as the magnitude says, and
// everything else by 0.
void classify(const short* mag, unsigned char* edge, std::size_t n, thresholds t, bool vectorised)
{
    std::size_t i = 0;
#if CV_SIMD128
    if (vectorised) {
        const cv::v_uint8x16 possible = cv::v_setall_u8(POSSIBLE_EDGE), follow = cv::v_setall_u8(FOLLOW),
                             seed = cv::v_setall_u8(SEED);
        const cv::v_int16x8 low = cv::v_setall_s16(t.low), high = cv::v_setall_s16(static_cast<short>(t.high));
        for (; i + 16 <= n; i += 16) {
            const cv::v_int16x8 m0 = cv::v_load(mag + i), m1 = cv::v_load(mag + i + 8);
            const cv::v_uint8x16 above_low = cv::v_reinterpret_as_u8(cv::v_pack(m0 > low, m1 > low));
            const cv::v_uint8x16 above_high = cv::v_reinterpret_as_u8(cv::v_pack(m0 >= high, m1 >= high));
            const cv::v_uint8x16 cand = cv::v_load(edge + i) == possible;
            cv::v_store(edge + i, cand & ((above_low & follow) | (above_high & seed)));
        }
    }
#else
    (void)vectorised;
#endif
    for (; i < n; ++i)
        edge[i] = edge[i] == POSSIBLE_EDGE
                      ? static_cast<unsigned char>((mag[i] > t.low ? FOLLOW : 0) | (mag[i] >= t.high ? SEED : 0))
                      : 0;
}

struct trace_frame {
    std::ptrdiff_t pixel;
    unsigned pending;  // neighbours (bit k: offset k) that were followable when it was reached
    int phase;         // the number of steps from the seed, modulo step
};

// Traces the edge from `seed`, already marked: depth-first, the neighbours
// east first then counter-clockwise; a pixel reached after d steps is marked
// and recorded when d is a multiple of step. A pixel that cannot be followed
// when its parent is reached never can be later (marking only takes pixels
// away), so each pixel's followable neighbours are gathered once, and each
// is checked again only when its turn comes.
template <class Followable, class Mark>
void trace_edge(std::ptrdiff_t seed, std::ptrdiff_t cols, const Followable& followable, const Mark& mark,
                std::vector<cv::Point>& points, int step, std::vector<trace_frame>& stack)
{
    const std::ptrdiff_t offset[8] = {1, 1 - cols, -cols, -1 - cols, -1, -1 + cols, cols, 1 + cols};
    auto reached = [&](std::ptrdiff_t i, int phase) {
        unsigned pending = 0;
        for (int k = 0; k < 8; ++k) pending |= static_cast<unsigned>(followable(i + offset[k])) << k;
        return trace_frame{i, pending, phase};
    };
    stack.clear();
    stack.push_back(reached(seed, 0));
    while (!stack.empty()) {
        trace_frame& f = stack.back();
        std::ptrdiff_t next = -1;
        while (f.pending != 0) {
            const std::ptrdiff_t i = f.pixel + offset[__builtin_ctz(f.pending)];
            f.pending &= f.pending - 1;
            if (followable(i)) {
                next = i;
                break;
            }
        }
        if (next < 0) {
            stack.pop_back();
            continue;
        }
        mark(next);
        const int phase = f.phase + 1 == step ? 0 : f.phase + 1;
        if (phase == 0) points.emplace_back(static_cast<int>(next % cols), static_cast<int>(next / cols));
        stack.push_back(reached(next, phase));
    }
}

// Traces every edge from its seeds in raster order on a classified map; the
// traced pixels end up TRACED.
void trace_all(unsigned char* edge, int rows, int cols, std::vector<cv::Point>& points, int step, bool vectorised)
{
    std::vector<trace_frame> stack;
    stack.reserve(256);
    auto followable = [edge](std::ptrdiff_t i) { return (edge[i] & FOLLOW) != 0; };
    auto mark = [edge](std::ptrdiff_t i) { edge[i] = TRACED; };
    auto seed = [&](int x, int y) {
        unsigned char& p = edge[static_cast<std::ptrdiff_t>(y) * cols + x];
        if (!(p & SEED)) return;  // already on an edge traced from an earlier seed
        p = TRACED;
        points.emplace_back(x, y);
        trace_edge(static_cast<std::ptrdiff_t>(y) * cols + x, cols, followable, mark, points, step, stack);
    };
    for (int y = 0; y < rows; ++y) {
        const unsigned char* row = edge + static_cast<std::size_t>(y) * cols;
        int x = 0;
#if CV_SIMD128
        // Sixteen pixels at a time: the seeds among them, in order.
        if (vectorised) {
            const cv::v_uint8x16 seedbit = cv::v_setall_u8(SEED), zero = cv::v_setzero_u8();
            for (; x + 16 <= cols; x += 16)
                for (unsigned bits = static_cast<unsigned>(cv::v_signmask(
                         cv::v_reinterpret_as_s8((cv::v_load(row + x) & seedbit) != zero)));
                     bits != 0; bits &= bits - 1)
                    seed(x + __builtin_ctz(bits), y);
        }
#endif
        for (; x < cols; ++x) seed(x, y);
    }
#if !CV_SIMD128
    (void)vectorised;
#endif
}

// ---------------------------------------------------------------------------
// Outputs

// Edge image from the traced map: 255 on traced pixels, 0 elsewhere.
void edge_image(unsigned char* edge, std::size_t n, bool vectorised)
{
    std::size_t i = 0;
#if CV_SIMD128
    if (vectorised)
        for (; i + 16 <= n; i += 16)
            cv::v_store(edge + i, cv::v_reinterpret_as_u8(cv::v_reinterpret_as_s8(cv::v_load(edge + i)) <
                                                          cv::v_setzero_s8()));
#else
    (void)vectorised;
#endif
    for (; i < n; ++i) edge[i] = (edge[i] & TRACED) ? 255 : 0;
}

// The magnitude mapped linearly from lo..hi to 0..255, in double, as float.
void gradient_image(const short* mag, int rows, int cols, short lo, short hi, cv::Mat& gradient)
{
    const double min = lo, range = static_cast<double>(hi) - min;
    if (range == 0) {
        gradient.setTo(0.0f);  // no edges anywhere
        return;
    }
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    const int values = hi - lo + 1;
    std::vector<float> table;
    // A table of the few thousand values that occur beats converting each of
    // hundreds of thousands of pixels.
    if (n >= 2 * static_cast<std::size_t>(values)) {
        table.resize(values);
        for (int v = 0; v < values; ++v) table[v] = static_cast<float>((v + lo - min) / range * 255.0);
    }
    for (int r = 0; r < rows; ++r) {
        float* out = gradient.ptr<float>(r);
        const short* in = mag + static_cast<std::size_t>(r) * cols;
        if (table.empty())
            for (int c = 0; c < cols; ++c) out[c] = static_cast<float>((in[c] - min) / range * 255.0);
        else
            for (int c = 0; c < cols; ++c) out[c] = table[in[c] - lo];
    }
}

}  // namespace

std::vector<float> make_gaussian_kernel(float sigma)
{
    const int windowsize = 1 + 2 * static_cast<int>(std::ceil(2.5 * sigma));
    const int center = windowsize / 2;
    std::vector<float> kernel(windowsize);
    float sum = 0.0f;
    for (int i = 0; i < windowsize; ++i) {
        const float x = static_cast<float>(i - center);
        const float fx = static_cast<float>(std::pow(2.71828, -0.5 * x * x / (sigma * sigma)) /
                                            (sigma * std::sqrt(6.2831853)));
        kernel[i] = fx;
        sum += fx;
    }
    for (float& k : kernel) k /= sum;
    return kernel;
}

std::vector<short> gaussian_smooth(const unsigned char* image, int rows, int cols, float sigma)
{
    const std::vector<float> kernel = make_gaussian_kernel(sigma);
    std::vector<short> smoothed(static_cast<std::size_t>(rows) * cols);
    smoother smooth(kernel, rows, cols, image, static_cast<std::size_t>(cols), cv::useOptimized());
    for (int r = 0; r < rows; ++r) smooth.row(r, smoothed.data() + static_cast<std::size_t>(r) * cols);
    return smoothed;
}

void derrivative_x_y(const short* s, int rows, int cols, std::vector<short>& delta_x, std::vector<short>& delta_y,
                     std::vector<short>* magnitude)
{
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    delta_x = std::vector<short>(n);
    delta_y = std::vector<short>(n);
    std::vector<short> scratch;
    if (magnitude)
        *magnitude = std::vector<short>(n);
    else
        scratch.resize(cols);
    const bool vectorised = cv::useOptimized();
    for (int r = 0; r < rows; ++r) {
        const std::size_t at = static_cast<std::size_t>(r) * cols;
        const short* above = s + static_cast<std::size_t>(r == 0 ? 0 : r - 1) * cols;
        const short* below = s + static_cast<std::size_t>(r == rows - 1 ? rows - 1 : r + 1) * cols;
        short lo = 0, hi = 0;
        gradient_row(above, s + at, below, cols, delta_x.data() + at, delta_y.data() + at,
                     magnitude ? magnitude->data() + at : scratch.data(), lo, hi, vectorised);
    }
}

void non_max_supp(const short* mag, const short* gradx, const short* grady, int rows, int cols,
                  unsigned char* result)
{
    for (int c = 0; c < cols; ++c) {
        result[c] = 0;
        result[static_cast<std::size_t>(rows - 1) * cols + c] = 0;
    }
    for (int r = 0; r < rows; ++r) {
        result[static_cast<std::size_t>(r) * cols] = 0;
        result[static_cast<std::size_t>(r) * cols + cols - 1] = 0;
    }
    const bool vectorised = cv::useOptimized();
    for (int r = 1; r <= rows - 3; ++r) {
        const std::size_t at = static_cast<std::size_t>(r) * cols;
        suppression_row(mag + at - cols, mag + at, mag + at + cols, gradx + at, grady + at, cols, result + at, nullptr,
                        vectorised);
    }
}

void follow_edges(unsigned char* edgemap, const short* edgemag, short lowval, int cols,
                  std::vector<cv::Point>& points, int step, int x, int y)
{
    std::vector<trace_frame> stack;
    stack.reserve(64);
    trace_edge(
        static_cast<std::ptrdiff_t>(y) * cols + x, cols,
        [=](std::ptrdiff_t i) { return edgemap[i] == POSSIBLE_EDGE && edgemag[i] > lowval; },
        [=](std::ptrdiff_t i) { edgemap[i] = EDGE; }, points, step, stack);
}

void apply_hysteresis(const short* mag, const unsigned char* nms, int rows, int cols, float tlow,
                      float thigh, unsigned char* edge, std::vector<cv::Point>& points, int step,
                      int* high_threshold, int* low_threshold)
{
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    std::vector<int> histogram(HISTOGRAM_BINS, 0);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const std::size_t i = static_cast<std::size_t>(r) * cols + c;
            const bool frame = r == 0 || r == rows - 1 || c == 0 || c == cols - 1;
            const bool cand = nms[i] == POSSIBLE_EDGE && !frame;
            edge[i] = cand ? POSSIBLE_EDGE : NOEDGE;
            if (cand) ++histogram[mag[i]];
        }
    }
    const thresholds t = choose_thresholds(histogram.data(), tlow, thigh);
    if (high_threshold) *high_threshold = t.high;
    if (low_threshold) *low_threshold = t.low;
    const bool vectorised = cv::useOptimized();
    classify(mag, edge, n, t, vectorised);
    trace_all(edge, rows, cols, points, step, vectorised);
    for (std::size_t i = 0; i < n; ++i) edge[i] = (edge[i] & TRACED) ? EDGE : NOEDGE;
}

void returnGradAndCanny(const cv::Mat& image, cv::Mat& edges, cv::Mat& gradient, double sigma,
                        const std::vector<int>& steps, std::vector<std::vector<cv::Point>>& points,
                        int* high_threshold, int* low_threshold, int threads)
{
    points.assign(steps.size(), {});
    CV_Assert(image.type() == CV_8UC1);
    const int rows = image.rows, cols = image.cols;
    // Below 3 x 3 the derivatives and the suppression have no interior to
    // work on: such an image has no edges.
    if (rows < 3 || cols < 3) {
        edges = cv::Mat::zeros(rows, cols, CV_8UC1);
        gradient.create(rows, cols, CV_32FC1);
        gradient.setTo(0.0f);
        return;
    }
    const bool vectorised = cv::useOptimized();
    const int bands = std::max(1, std::min(threads, rows));
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    const std::vector<float> kernel = make_gaussian_kernel(static_cast<float>(sigma));

    // The edge map is built in the edge image itself.
    edges = cv::Mat(rows, cols, CV_8UC1);
    gradient.create(rows, cols, CV_32FC1);
    unsigned char* edge = edges.ptr<unsigned char>();
    // The library blurs a band of rows of an image differently from the
    // whole image, so the presmoothing is done whole, before the bands.
    cv::Mat presmoothed;
    cv::GaussianBlur(image, presmoothed, cv::Size(0, 0), 0.8, 0.0, cv::BORDER_REPLICATE);
    const std::unique_ptr<short[]> magnitude = allocate_uninitialised<short>(n);
    std::vector<int> histogram(HISTOGRAM_BINS);
    std::vector<band_work> work(bands);
    for (int b = 0; b < bands; ++b)
        prepare_band(work[b], static_cast<int>(static_cast<long long>(rows) * b / bands),
                     static_cast<int>(static_cast<long long>(rows) * (b + 1) / bands), cols, b > 0);

    run_jobs(bands, [&](int b) {
        run_band(presmoothed, kernel, work[b], magnitude.get(), edge,
                 b == 0 ? histogram.data() : work[b].histogram.data(), vectorised);
    });
    presmoothed.release();

    short lo = work[0].lo, hi = work[0].hi;
    for (int b = 1; b < bands; ++b) {
        lo = std::min(lo, work[b].lo);
        hi = std::max(hi, work[b].hi);
        for (int v = 0; v < HISTOGRAM_BINS; ++v) histogram[v] += work[b].histogram[v];
    }
    work = std::vector<band_work>();

    const thresholds t = choose_thresholds(histogram.data(), 0.2f, 0.6f);
    if (high_threshold) *high_threshold = t.high;
    if (low_threshold) *low_threshold = t.low;

    // The gradient image needs only the magnitude: a second thread fills it
    // while the edges are traced.
    const int jobs = threads > 1 ? 2 : 1;
    run_jobs(jobs, [&](int job) {
        if (job == 0) {
            classify(magnitude.get(), edge, n, t, vectorised);
            // Tracing marks the map: every step but the last traces a copy.
            // The traced pixels are the same for every step.
            for (std::size_t k = 0; k + 1 < steps.size(); ++k) {
                std::vector<unsigned char> classified(edge, edge + n);
                trace_all(classified.data(), rows, cols, points[k], steps[k], vectorised);
            }
            if (!steps.empty()) trace_all(edge, rows, cols, points.back(), steps.back(), vectorised);
            edge_image(edge, n, vectorised);
        }
        if (job == 1 || jobs == 1) gradient_image(magnitude.get(), rows, cols, lo, hi, gradient);
    });
}
