// Hysteresis thresholds and edge tracing. The map is first classified (which
// candidates may seed an edge, which may continue one), then traced; 128-bit
// kernels classify the map and find the seeds sixteen pixels at a time, with
// the same result as the plain code.
#include "edges/hysteresis.h"

#include <cstddef>
#include <opencv2/core/hal/intrin.hpp>

#include "edges/suppression.h"

namespace orvo::detail {
namespace {

// Codes of the map while the edges are traced.
constexpr unsigned char FOLLOW = 1;     // a candidate above the low threshold
constexpr unsigned char SEED = 2;       // a candidate at or above the high threshold
constexpr unsigned char TRACED = 0x80;  // on a traced edge

// Replaces CANDIDATE by FOLLOW and SEED as the magnitude says, and
// everything else by 0.
void classify_candidates(const short* mag, unsigned char* edge, std::size_t n, hysteresis_thresholds t,
                         bool vectorised)
{
    std::size_t i = 0;
#if CV_SIMD128
    if (vectorised) {
        const cv::v_uint8x16 possible = cv::v_setall_u8(CANDIDATE), follow = cv::v_setall_u8(FOLLOW),
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
        edge[i] = edge[i] == CANDIDATE
                      ? static_cast<unsigned char>((mag[i] > t.low ? FOLLOW : 0) | (mag[i] >= t.high ? SEED : 0))
                      : 0;
}

struct trace_frame {
    std::ptrdiff_t pixel;
    unsigned pending;  // neighbours (bit k: offset k) that were followable when it was reached
    int phase;         // the number of steps from the seed less the start, modulo step
};

// Traces the edge from `seed`, already marked: depth-first, the neighbours
// east first then counter-clockwise; a pixel reached after d steps is marked
// and recorded when d - start is a multiple of step (0 <= start < step). A
// pixel that cannot be followed when its parent is reached never can be
// later (marking only takes pixels away), so each pixel's followable
// neighbours are gathered once, and each is checked again only when its
// turn comes.
template <class Followable, class Mark>
void trace_edge(std::ptrdiff_t seed, std::ptrdiff_t cols, const Followable& followable, const Mark& mark,
                std::vector<cv::Point>& points, int step, int start, std::vector<trace_frame>& stack)
{
    const std::ptrdiff_t offset[8] = {1, 1 - cols, -cols, -1 - cols, -1, -1 + cols, cols, 1 + cols};
    auto reached = [&](std::ptrdiff_t i, int phase) {
        unsigned pending = 0;
        for (int k = 0; k < 8; ++k) pending |= static_cast<unsigned>(followable(i + offset[k])) << k;
        return trace_frame{i, pending, phase};
    };
    stack.clear();
    stack.push_back(reached(seed, start == 0 ? 0 : step - start));
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
void trace_from_seeds(unsigned char* edge, int rows, int cols, std::vector<cv::Point>& points, int step,
                      int phase, bool vectorised)
{
    std::vector<trace_frame> stack;
    stack.reserve(256);
    auto followable = [edge](std::ptrdiff_t i) { return (edge[i] & FOLLOW) != 0; };
    auto mark = [edge](std::ptrdiff_t i) { edge[i] = TRACED; };
    auto seed = [&](int x, int y) {
        unsigned char& p = edge[static_cast<std::ptrdiff_t>(y) * cols + x];
        if (!(p & SEED)) return;  // already on an edge traced from an earlier seed
        p = TRACED;
        if (phase == 0) points.emplace_back(x, y);
        trace_edge(static_cast<std::ptrdiff_t>(y) * cols + x, cols, followable, mark, points, step, phase, stack);
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

}  // namespace

hysteresis_thresholds choose_thresholds(const int* histogram, float low_ratio, float high_fraction)
{
    int count = 0, largest = 0;
    for (int m = 1; m < HISTOGRAM_BINS; ++m) {
        if (histogram[m] != 0) largest = m;
        count += histogram[m];
    }
    const int high_count = static_cast<int>(count * high_fraction + 0.5);
    int m = 1;
    count = histogram[1];
    while (m < largest - 1 && count < high_count) {
        ++m;
        count += histogram[m];
    }
    return {m, static_cast<short>(static_cast<int>(m * low_ratio + 0.5))};
}

std::vector<std::vector<cv::Point>> trace_edges(const short* magnitude, unsigned char* map, int rows, int cols,
                                                hysteresis_thresholds thresholds, const std::vector<int>& steps,
                                                bool vectorised, int phase)
{
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    std::vector<std::vector<cv::Point>> points(steps.size());
    classify_candidates(magnitude, map, n, thresholds, vectorised);
    // Tracing marks the map: every step but the last traces a copy.
    for (std::size_t k = 0; k + 1 < steps.size(); ++k) {
        std::vector<unsigned char> classified(map, map + n);
        trace_from_seeds(classified.data(), rows, cols, points[k], steps[k], phase % steps[k], vectorised);
    }
    if (!steps.empty())
        trace_from_seeds(map, rows, cols, points.back(), steps.back(), phase % steps.back(), vectorised);
    edge_image(map, n, vectorised);
    return points;
}

}  // namespace orvo::detail
