// Sampling and smoothing a region's normalised patch.
#include "descriptors/patch.h"

#include <algorithm>
#include <cmath>

namespace orvo::detail {

namespace {

// The longest row of samples: the descriptor's square and its smoothing.
constexpr int MAX_SIDE = 64;

// Bilinear samples of the square of side 2 half + 1 around the frame's
// centre, row-major into `out`.
template <class Pixel>
void sample_square(const cv::Mat& image, const patch_frame& frame, int half, float* out)
{
    const int side = 2 * half + 1;
    CV_Assert(side <= MAX_SIDE);
    const cv::Matx22d& m = frame.to_level;
    const float column_x = static_cast<float>(m(0, 0)), column_y = static_cast<float>(m(1, 0));
    // Whether every sample and its right and lower neighbours lie inside.
    const double reach_x = half * (std::abs(m(0, 0)) + std::abs(m(0, 1)));
    const double reach_y = half * (std::abs(m(1, 0)) + std::abs(m(1, 1)));
    const bool inside = frame.centre.x - reach_x >= 0.01 && frame.centre.x + reach_x < image.cols - 1.01 &&
                        frame.centre.y - reach_y >= 0.01 && frame.centre.y + reach_y < image.rows - 1.01;
    const std::size_t stride = image.step1();
    const Pixel* data = image.ptr<Pixel>();
    for (int y = -half; y <= half; ++y) {
        const float start_x = static_cast<float>(frame.centre.x + m(0, 1) * y - m(0, 0) * half);
        const float start_y = static_cast<float>(frame.centre.y + m(1, 1) * y - m(1, 0) * half);
        float* row = out + (y + half) * side;
        if (inside) {
            // Positions and weights in one pass, the four neighbours in a
            // second, the interpolation in a third: the first and last
            // vectorise.
            float fx[MAX_SIDE], fy[MAX_SIDE], p00[MAX_SIDE], p01[MAX_SIDE], p10[MAX_SIDE], p11[MAX_SIDE];
            int x0[MAX_SIDE], y0[MAX_SIDE];
            for (int x = 0; x < side; ++x) {
                const float sx = start_x + column_x * x, sy = start_y + column_y * x;
                x0[x] = static_cast<int>(sx);
                y0[x] = static_cast<int>(sy);
                fx[x] = sx - static_cast<float>(x0[x]);
                fy[x] = sy - static_cast<float>(y0[x]);
            }
            for (int x = 0; x < side; ++x) {
                const Pixel* p = data + static_cast<std::size_t>(y0[x]) * stride + x0[x];
                p00[x] = p[0];
                p01[x] = p[1];
                p10[x] = p[stride];
                p11[x] = p[stride + 1];
            }
            for (int x = 0; x < side; ++x) {
                const float top = p00[x] + fx[x] * (p01[x] - p00[x]);
                const float bottom = p10[x] + fx[x] * (p11[x] - p10[x]);
                row[x] = top + fy[x] * (bottom - top);
            }
        } else {
            const int last_x = image.cols - 1, last_y = image.rows - 1;
            for (int x = 0; x < side; ++x) {
                const float sx = start_x + column_x * x, sy = start_y + column_y * x;
                const float floor_x = std::floor(sx), floor_y = std::floor(sy);
                const float fx = sx - floor_x, fy = sy - floor_y;
                // Clamped in floating point first: far samples overflow int.
                const int x0 = static_cast<int>(std::clamp(floor_x, 0.0f, static_cast<float>(last_x)));
                const int y0 = static_cast<int>(std::clamp(floor_y, 0.0f, static_cast<float>(last_y)));
                const int x1 = static_cast<int>(std::clamp(floor_x + 1, 0.0f, static_cast<float>(last_x)));
                const int y1 = static_cast<int>(std::clamp(floor_y + 1, 0.0f, static_cast<float>(last_y)));
                const Pixel* r0 = data + y0 * stride;
                const Pixel* r1 = data + y1 * stride;
                const float top = r0[x0] + fx * (static_cast<float>(r0[x1]) - r0[x0]);
                const float bottom = r1[x0] + fx * (static_cast<float>(r1[x1]) - r1[x0]);
                row[x] = top + fy * (bottom - top);
            }
        }
    }
}

}  // namespace

int patch_level(double minor, double radius)
{
    const double step = minor / radius;
    return step > 1 ? static_cast<int>(std::floor(std::log2(step))) : 0;
}

patch_frame patch_frame_of(cv::Point2d centre, const cv::Matx22d& T, double minor, double radius, int highest)
{
    patch_frame frame;
    frame.level = std::min(patch_level(minor, radius), highest);
    const double shrink = std::ldexp(1.0, -frame.level);
    // Pixel centres of level k sit at (p + 0.5) 2^-k - 0.5.
    frame.centre = cv::Point2d((centre.x + 0.5) * shrink - 0.5, (centre.y + 0.5) * shrink - 0.5);
    frame.to_level = T * (shrink / radius);
    return frame;
}

patch_frame turned(const patch_frame& frame, double angle)
{
    patch_frame result = frame;
    result.to_level = frame.to_level * cv::Matx22d(std::cos(angle), -std::sin(angle), std::sin(angle), std::cos(angle));
    return result;
}

gaussian_taps::gaussian_taps(double sigma) : radius(cvRound(4 * sigma)), taps(2 * radius + 1)
{
    double sum = 0;
    std::vector<double> exact(taps.size());
    for (int i = -radius; i <= radius; ++i) sum += exact[i + radius] = std::exp(-i * i / (2 * sigma * sigma));
    for (std::size_t i = 0; i < taps.size(); ++i) taps[i] = static_cast<float>(exact[i] / sum);
}

const float* smoothed_patch(const image_pyramid& pyramid, const patch_frame& frame, int half,
                            const gaussian_taps& smoothing, patch_buffers& buffers)
{
    const int r = smoothing.radius, sampled = 2 * (half + r) + 1, side = 2 * half + 1;
    buffers.samples.resize(static_cast<std::size_t>(sampled) * sampled);
    buffers.half_smoothed.resize(static_cast<std::size_t>(sampled) * side);
    buffers.smoothed.resize(static_cast<std::size_t>(side) * side);
    const cv::Mat& level = pyramid.level(frame.level);
    if (level.depth() == CV_8U)
        sample_square<unsigned char>(level, frame, half + r, buffers.samples.data());
    else
        sample_square<float>(level, frame, half + r, buffers.samples.data());

    // Along the rows, then down the columns, each tap over a whole row; the
    // taps are symmetric, so each pair of them takes one product.
    const float* taps = smoothing.taps.data();
    for (int y = 0; y < sampled; ++y) {
        const float* in = &buffers.samples[static_cast<std::size_t>(y) * sampled];
        float* out = &buffers.half_smoothed[static_cast<std::size_t>(y) * side];
        for (int x = 0; x < side; ++x) out[x] = taps[r] * in[x + r];
        for (int t = 0; t < r; ++t)
            for (int x = 0; x < side; ++x) out[x] += taps[t] * (in[x + t] + in[x + 2 * r - t]);
    }
    for (int y = 0; y < side; ++y) {
        float* out = &buffers.smoothed[static_cast<std::size_t>(y) * side];
        const float* middle = &buffers.half_smoothed[static_cast<std::size_t>(y + r) * side];
        for (int x = 0; x < side; ++x) out[x] = taps[r] * middle[x];
        for (int t = 0; t < r; ++t) {
            const float* above = &buffers.half_smoothed[static_cast<std::size_t>(y + t) * side];
            const float* below = &buffers.half_smoothed[static_cast<std::size_t>(y + 2 * r - t) * side];
            for (int x = 0; x < side; ++x) out[x] += taps[t] * (above[x] + below[x]);
        }
    }
    return buffers.smoothed.data();
}

}  // namespace orvo::detail
