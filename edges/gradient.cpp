// Central differences and gradient magnitude of a row. The 128-bit kernels
// give the same bytes as the plain per-pixel code, which handles the columns
// they leave over and runs alone when vectorised is false.
#include "edges/gradient.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <opencv2/core/hal/intrin.hpp>

namespace orvo::detail {

magnitude_range gradient_row(const short* above, const short* mid, const short* below, int cols, short* dx,
                             short* dy, short* mag, bool vectorised)
{
    short lo = SHRT_MAX, hi = SHRT_MIN;
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
    return {lo, hi};
}

}  // namespace orvo::detail
