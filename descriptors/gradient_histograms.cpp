// Orientation and descriptor histograms of patch gradients.
#include "descriptors/gradient_histograms.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <opencv2/core.hpp>

#include "descriptors/avx2_copies.h"

namespace orvo::detail {

namespace {

constexpr float TWO_PI = static_cast<float>(2 * CV_PI);

// atan2(y, x) in [0, 2 pi), within 1e-5 radians, without branches so that
// loops over it vectorise; 0 for (0, 0) (which gives 0 / FLT_MIN).
inline float full_turn_atan2(float y, float x)
{
    const float ax = std::abs(x), ay = std::abs(y);
    const float larger = std::max(ax, ay), smaller = std::min(ax, ay);
    const float t = smaller / std::max(larger, FLT_MIN);
    const float s = t * t;
    float a = ((-0.0464964749f * s + 0.15931422f) * s - 0.327622764f) * s * t + t;
    a = ay > ax ? static_cast<float>(CV_PI / 2) - a : a;
    a = x < 0 ? static_cast<float>(CV_PI) - a : a;
    a = y < 0 ? TWO_PI - a : a;
    return a < TWO_PI ? a : 0.0f;
}

// The Gaussian weights of the orientation histogram over the square of
// half side ORIENTATION_RADIUS, zero outside the unit circle.
constexpr int CIRCLE = static_cast<int>(ORIENTATION_RADIUS);
constexpr int CIRCLE_SIDE = 2 * CIRCLE + 1;

struct circle_weights {
    std::array<float, CIRCLE_SIDE * CIRCLE_SIDE> weight{};
    std::array<int, CIRCLE_SIDE> row_reach{};  // |x| within the circle on each row

    circle_weights()
    {
        const double sigma = ORIENTATION_RADIUS / 2;
        for (int y = -CIRCLE; y <= CIRCLE; ++y) {
            row_reach[y + CIRCLE] = static_cast<int>(std::floor(std::sqrt(CIRCLE * CIRCLE - y * y)));
            for (int x = -CIRCLE; x <= CIRCLE; ++x) {
                const double r2 = x * x + y * y;
                if (r2 <= CIRCLE * CIRCLE)
                    weight[(y + CIRCLE) * CIRCLE_SIDE + x + CIRCLE] =
                        static_cast<float>(std::exp(-r2 / (2 * sigma * sigma)));
            }
        }
    }
};

// For each offset from the patch centre along one axis of the descriptor's
// grid: the cell to its left or above (-1 .. 3, shifted by one into 0 .. 4
// for a grid padded on each side), the share of the next cell, and the
// axis' factor of the Gaussian weight.
constexpr int CELLS = 4, BINS = 8, CELL_SIZE = 2 * DESCRIPTOR_RADIUS / CELLS;
constexpr int REACH = DESCRIPTOR_HALF - 1;  // offsets whose votes reach the grid
constexpr int REACH_SIDE = 2 * REACH + 1;
constexpr int GRADIENT_ROW = (REACH_SIDE + 7) / 8 * 8;  // gradients taken on a row, the first REACH_SIDE voting

struct grid_axis {
    std::array<int, REACH_SIDE> cell{};
    std::array<float, GRADIENT_ROW> next_share{}, weight{};  // 0 beyond REACH_SIDE

    grid_axis()
    {
        // A Gaussian of sigma half the grid (2 cells); the 2-D weight is the
        // product of the two axes'.
        const double sigma = CELLS / 2.0 * CELL_SIZE;
        for (int t = -REACH; t <= REACH; ++t) {
            const double position = static_cast<double>(t) / CELL_SIZE + CELLS / 2.0 - 0.5;
            const int below = static_cast<int>(std::floor(position));
            cell[t + REACH] = below + 1;
            next_share[t + REACH] = static_cast<float>(position - below);
            weight[t + REACH] = static_cast<float>(std::exp(-t * t / (2 * sigma * sigma)));
        }
    }
};

ORVO_ALSO_FOR_AVX2 double orientation_histogram_peak(const float* smoothed)
{
    constexpr int HIST_BINS = 36;
    constexpr int side = 2 * ORIENTATION_HALF + 1;
    static const circle_weights circle;
    double hist[HIST_BINS] = {};
    // Each gradient's lower bin and its votes into it and the next one,
    // over whole rows of the square (a fixed length that vectorises); only
    // the gradients within the circle vote.
    int lower[CIRCLE_SIDE];
    float to_lower[CIRCLE_SIDE], to_upper[CIRCLE_SIDE];
    for (int y = -CIRCLE; y <= CIRCLE; ++y) {
        const float* row = smoothed + (y + ORIENTATION_HALF) * side + ORIENTATION_HALF - CIRCLE;
        const float* weight = &circle.weight[(y + CIRCLE) * CIRCLE_SIDE];
        for (int i = 0; i < CIRCLE_SIDE; ++i) {
            const float gx = row[i + 1] - row[i - 1], gy = row[i + side] - row[i - side];
            const float magnitude = std::sqrt(gx * gx + gy * gy) * weight[i];
            // Bin centres at whole numbers; the position is at least -0.5,
            // so its floor is the truncation less one below zero.
            const float position = full_turn_atan2(gy, gx) * (HIST_BINS / TWO_PI) - 0.5f;
            const int below = static_cast<int>(position) - (position < 0);
            const float fraction = position - static_cast<float>(below);
            lower[i] = below + (below < 0) * HIST_BINS;
            to_lower[i] = magnitude * (1 - fraction);
            to_upper[i] = magnitude * fraction;
        }
        // A gradient of no magnitude adds nothing (its votes are +0).
        const int reach = circle.row_reach[y + CIRCLE];
        for (int i = CIRCLE - reach; i <= CIRCLE + reach; ++i) {
            const int upper = lower[i] + 1 < HIST_BINS ? lower[i] + 1 : 0;
            hist[lower[i]] += to_lower[i];
            hist[upper] += to_upper[i];
        }
    }
    double smooth[HIST_BINS];
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < HIST_BINS; ++i)
            smooth[i] = (hist[(i + HIST_BINS - 2) % HIST_BINS] + hist[(i + 2) % HIST_BINS]) * (1.0 / 16) +
                        (hist[(i + HIST_BINS - 1) % HIST_BINS] + hist[(i + 1) % HIST_BINS]) * (4.0 / 16) +
                        hist[i] * (6.0 / 16);
        std::copy(smooth, smooth + HIST_BINS, hist);
    }
    const int peak = static_cast<int>(std::max_element(hist, hist + HIST_BINS) - hist);
    const double left = hist[(peak + HIST_BINS - 1) % HIST_BINS], right = hist[(peak + 1) % HIST_BINS];
    const double denominator = left - 2 * hist[peak] + right;
    const double offset = denominator != 0 ? 0.5 * (left - right) / denominator : 0;
    const double angle = (peak + 0.5 + offset) * 2 * CV_PI / HIST_BINS;
    return angle < 2 * CV_PI ? angle : angle - 2 * CV_PI;
}

ORVO_ALSO_FOR_AVX2 void gradient_histogram_grid(const float* smoothed, unsigned char* descriptor)
{
    constexpr int side = 2 * DESCRIPTOR_HALF + 1;
    constexpr int PADDED_CELLS = CELLS + 2, PADDED_BINS = BINS + 1;  // a cell on each side, bin 8 is bin 0
    static const grid_axis axis;
    float hist[PADDED_CELLS][PADDED_CELLS][PADDED_BINS] = {};
    static_assert((REACH + DESCRIPTOR_HALF + 1) * side + DESCRIPTOR_HALF - REACH + GRADIENT_ROW <=
                  side * side + DESCRIPTOR_SLACK);
    float magnitude[GRADIENT_ROW], bin[GRADIENT_ROW];
    float row_hist[PADDED_CELLS][PADDED_BINS] = {};  // emptied again as each row is added
    for (int y = -REACH; y <= REACH; ++y) {
        const float* row = smoothed + (y + DESCRIPTOR_HALF) * side + DESCRIPTOR_HALF - REACH;
        for (int i = 0; i < GRADIENT_ROW; ++i) {
            const float gx = row[i + 1] - row[i - 1], gy = row[i + side] - row[i - side];
            magnitude[i] = std::sqrt(gx * gx + gy * gy) * axis.weight[i];
            // Counter-clockwise on screen: the gradient with y up.
            bin[i] = full_turn_atan2(-gy, gx) * (BINS / TWO_PI);
        }
        // The row's votes by cell column, then shared between two cell rows.
        for (int i = 0; i < REACH_SIDE; ++i) {
            const int o0 = std::min(static_cast<int>(bin[i]), BINS - 1);
            const float o_share = bin[i] - o0;
            const int c0 = axis.cell[i];
            const float to_next_cell = magnitude[i] * axis.next_share[i], to_cell = magnitude[i] - to_next_cell;
            const float v01 = to_cell * o_share, v11 = to_next_cell * o_share;
            row_hist[c0][o0] += to_cell - v01;
            row_hist[c0][o0 + 1] += v01;
            row_hist[c0 + 1][o0] += to_next_cell - v11;
            row_hist[c0 + 1][o0 + 1] += v11;
        }
        const int r0 = axis.cell[y + REACH];
        const float row_weight = axis.weight[y + REACH];
        const float to_next_row = row_weight * axis.next_share[y + REACH], to_row = row_weight - to_next_row;
        for (int c = 0; c < PADDED_CELLS; ++c)
            for (int o = 0; o < PADDED_BINS; ++o) {
                hist[r0][c][o] += row_hist[c][o] * to_row;
                hist[r0 + 1][c][o] += row_hist[c][o] * to_next_row;
                row_hist[c][o] = 0;
            }
    }

    float values[DESCRIPTOR_LENGTH];
    for (int r = 0; r < CELLS; ++r)
        for (int c = 0; c < CELLS; ++c) {
            float* cell = hist[r + 1][c + 1];
            cell[0] += cell[BINS];
            std::copy(cell, cell + BINS, values + (r * CELLS + c) * BINS);
        }
    float squares = 0;
    for (float v : values) squares += v * v;
    const float clip = std::sqrt(squares) * 0.2f;
    squares = 0;
    for (float& v : values) {
        v = std::min(v, clip);
        squares += v * v;
    }
    const float scale = 512 / std::max(std::sqrt(squares), FLT_EPSILON);
    for (int k = 0; k < DESCRIPTOR_LENGTH; ++k) descriptor[k] = cv::saturate_cast<unsigned char>(values[k] * scale);
}

}  // namespace

double dominant_orientation(const float* smoothed)
{
    return orientation_histogram_peak(smoothed);
}

void describe_turned_patch(const float* smoothed, unsigned char* descriptor)
{
    gradient_histogram_grid(smoothed, descriptor);
}

}  // namespace orvo::detail
