// Non-maximum suppression. The interpolation is done in float exactly as the
// plain per-pixel code does it; the 128-bit kernel gives the same bytes, the
// plain code handles the columns it leaves over and runs alone when
// vectorised is false.
#include "edges/suppression.h"

#include <opencv2/core/hal/intrin.hpp>

namespace orvo::detail {
namespace {

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

}  // namespace

// Suppression of columns 1..cols-3 of row `mid`: CANDIDATE for the
// candidates, NOT_CANDIDATE for the others. When `histogram` is not null, each
// candidate is counted in the bin of its magnitude.
void suppression_row(const short* above, const short* mid, const short* below, const short* gx, const short* gy,
                     int cols, unsigned char* out, int* histogram, bool vectorised)
{
    const int last = cols - 3;
    int c = 1;
#if CV_SIMD128
    if (vectorised) {
        const cv::v_uint8x16 low7 = cv::v_setall_u8(0x7f), noedge = cv::v_setall_u8(NOT_CANDIDATE);
        for (; c + 7 <= last; c += 8) {
            const cv::v_int16x8 cand = candidates8(above, mid, below, gx, gy, c);
            // NOT_CANDIDATE ^ 0x7f is CANDIDATE.
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
        out[c] = cand ? CANDIDATE : NOT_CANDIDATE;
        if (histogram && cand) ++histogram[mid[c]];
    }
}

}  // namespace orvo::detail
