// Sampling and smoothing a region's normalised patch.
#include "descriptors/patch.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "descriptors/avx2_copies.h"
#include "descriptors/gradient_histograms.h"

namespace orvo::detail {

namespace {

// Bilinear samples of the square of side 2 half + 1 around the frame's
// centre, row-major into `out`. A sample beyond the level's border takes
// the nearest border pixel: its position is clamped onto the border, where
// it either falls on the pixel itself (a weight of 0 for the next one) or
// has no next pixel (the step to it is 0). Each row goes through three
// passes: positions and weights, then the two pixel pairs of each sample
// (the pixel and its right neighbour, on the row and on the row below),
// then the interpolation; the first and last vectorise. A square whose
// samples all keep a pixel to their right and below (`inside`) steps by one
// pixel and one row throughout, finds its pixels' offsets in the first pass
// and reads each pair as one load.
template <class Pixel, int half, bool inside>
void sample_square(const cv::Mat& image, const patch_frame& frame, float* out)
{
    constexpr int side = 2 * half + 1;
    const cv::Matx22d& m = frame.to_level;
    const float column_x = static_cast<float>(m(0, 0)), column_y = static_cast<float>(m(1, 0));
    const int last_column = image.cols - 1, last_row = image.rows - 1;
    const float last_x = static_cast<float>(last_column), last_y = static_cast<float>(last_row);
    const std::size_t stride = image.step1();
    const int row_step = static_cast<int>(stride);
    const Pixel* data = image.ptr<Pixel>();
    float fx[side], fy[side];
    Pixel quads[4 * side];  // each sample's pixel, its right neighbour, and the two below
    int x0[side], y0[side], step_x[side], step_y[side], offset[side];
    for (int y = -half; y <= half; ++y) {
        const float start_x = static_cast<float>(frame.centre.x + m(0, 1) * y - m(0, 0) * half);
        const float start_y = static_cast<float>(frame.centre.y + m(1, 1) * y - m(1, 0) * half);
        float* row = out + (y + half) * side;
        for (int x = 0; x < side; ++x) {
            // Clamped in floating point: far samples overflow int.
            const float sx = std::min(std::max(start_x + column_x * x, 0.0f), last_x);
            const float sy = std::min(std::max(start_y + column_y * x, 0.0f), last_y);
            x0[x] = static_cast<int>(sx);
            y0[x] = static_cast<int>(sy);
            fx[x] = sx - static_cast<float>(x0[x]);
            fy[x] = sy - static_cast<float>(y0[x]);
            if (inside) {
                offset[x] = y0[x] * row_step + x0[x];
            } else {
                step_x[x] = x0[x] < last_column;
                step_y[x] = (y0[x] < last_row) * row_step;
            }
        }
        for (int x = 0; x < side; ++x) {
            const Pixel* p = inside ? data + offset[x] : data + static_cast<std::size_t>(y0[x]) * stride + x0[x];
            Pixel* quad = quads + 4 * x;
            if (inside) {
                std::memcpy(quad, p, 2 * sizeof(Pixel));
                std::memcpy(quad + 2, p + stride, 2 * sizeof(Pixel));
            } else {
                quad[0] = p[0];
                quad[1] = p[step_x[x]];
                quad[2] = p[step_y[x]];
                quad[3] = p[step_y[x] + step_x[x]];
            }
        }
        for (int x = 0; x < side; ++x) {
            const Pixel* quad = quads + 4 * x;
            const float a = static_cast<float>(quad[0]), b = static_cast<float>(quad[1]);
            const float c = static_cast<float>(quad[2]), d = static_cast<float>(quad[3]);
            const float upper = a + fx[x] * (b - a);
            const float lower = c + fx[x] * (d - c);
            row[x] = upper + fy[x] * (lower - upper);
        }
    }
}

// Whether every sample of the square of side 2 half + 1 around the frame's
// centre, clamped onto the level, keeps a pixel to its right and below: its
// exact position's largest coordinates, with a margin for the rounding of
// the positions in single precision, stay short of the last column and row.
// The level's pixels must also be counted by an int.
bool square_inside(const cv::Mat& image, const patch_frame& frame, int half)
{
    if (static_cast<double>(image.step1()) * image.rows > INT_MAX) return false;
    const cv::Matx22d& m = frame.to_level;
    auto short_of = [](double centre, double reach, int last) {
        const double margin = (std::abs(centre) + 2 * reach) * 0x1p-20;
        return std::max(centre + reach + margin, 0.0) < last;
    };
    return short_of(frame.centre.x, (std::abs(m(0, 0)) + std::abs(m(0, 1))) * half, image.cols - 1) &&
           short_of(frame.centre.y, (std::abs(m(1, 0)) + std::abs(m(1, 1))) * half, image.rows - 1);
}

template <class Pixel, int half>
void sample_square(const cv::Mat& image, const patch_frame& frame, float* out)
{
    if (square_inside(image, frame, half))
        sample_square<Pixel, half, true>(image, frame, out);
    else
        sample_square<Pixel, half, false>(image, frame, out);
}

// The square of side 2 HALF + 1 around the patch centre (row-major, in
// `buffers.smoothed`), smoothed by `taps` (2 RADIUS + 1 of them): samples
// reach HALF + RADIUS. Sizes are compile-time constants so that the loops
// vectorise without remainders.
template <int HALF, int RADIUS>
const float* smoothed_patch(const image_pyramid& pyramid, const patch_frame& frame, const std::vector<float>& taps,
                            patch_buffers& buffers)
{
    constexpr int r = RADIUS, sampled = 2 * (HALF + r) + 1, side = 2 * HALF + 1;
    CV_DbgAssert(taps.size() == 2 * r + 1);
    buffers.samples.resize(sampled * sampled);
    buffers.half_smoothed.resize(sampled * side);
    buffers.smoothed.resize(side * side + DESCRIPTOR_SLACK);
    float* __restrict samples = buffers.samples.data();
    float* __restrict half_smoothed = buffers.half_smoothed.data();
    float* __restrict smoothed = buffers.smoothed.data();
    const cv::Mat& level = pyramid.level(frame.level);
    if (level.depth() == CV_8U)
        sample_square<unsigned char, HALF + r>(level, frame, samples);
    else
        sample_square<float, HALF + r>(level, frame, samples);

    // Along the rows, then down the columns. The taps are symmetric, so
    // each pair of them takes one product; each value is summed in a
    // register, the middle tap first, then the pairs from the outermost in.
    float k[r + 1];
    std::copy(taps.begin(), taps.begin() + r + 1, k);
    for (int y = 0; y < sampled; ++y) {
        const float* in = samples + y * sampled;
        float* out = half_smoothed + y * side;
        for (int x = 0; x < side; ++x) {
            float sum = k[r] * in[x + r];
            for (int t = 0; t < r; ++t) sum += k[t] * (in[x + t] + in[x + 2 * r - t]);
            out[x] = sum;
        }
    }
    for (int y = 0; y < side; ++y) {
        const float* in = half_smoothed + y * side;
        float* out = smoothed + y * side;
        for (int x = 0; x < side; ++x) {
            float sum = k[r] * in[x + r * side];
            for (int t = 0; t < r; ++t) sum += k[t] * (in[x + t * side] + in[x + (2 * r - t) * side]);
            out[x] = sum;
        }
    }
    return smoothed;
}

// The two shapes the descriptors use, each compiled also for AVX2.
ORVO_ALSO_FOR_AVX2 const float* smoothed_orientation_patch(const image_pyramid& pyramid, const patch_frame& frame,
                                                          const std::vector<float>& taps, patch_buffers& buffers)
{
    return smoothed_patch<ORIENTATION_HALF, smoothing_radius(ORIENTATION_SMOOTHING)>(pyramid, frame, taps, buffers);
}

ORVO_ALSO_FOR_AVX2 const float* smoothed_descriptor_patch(const image_pyramid& pyramid, const patch_frame& frame,
                                                         const std::vector<float>& taps, patch_buffers& buffers)
{
    return smoothed_patch<DESCRIPTOR_HALF, smoothing_radius(DESCRIPTOR_SMOOTHING)>(pyramid, frame, taps, buffers);
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

std::vector<float> gaussian_taps(double sigma)
{
    const int radius = smoothing_radius(sigma);
    std::vector<double> exact(2 * radius + 1);
    double sum = 0;
    for (int i = -radius; i <= radius; ++i) sum += exact[i + radius] = std::exp(-i * i / (2 * sigma * sigma));
    std::vector<float> taps(exact.size());
    for (std::size_t i = 0; i < taps.size(); ++i) taps[i] = static_cast<float>(exact[i] / sum);
    return taps;
}

const float* orientation_patch(const image_pyramid& pyramid, const patch_frame& frame, const std::vector<float>& taps,
                               patch_buffers& buffers)
{
    return smoothed_orientation_patch(pyramid, frame, taps, buffers);
}

const float* descriptor_patch(const image_pyramid& pyramid, const patch_frame& frame, const std::vector<float>& taps,
                              patch_buffers& buffers)
{
    return smoothed_descriptor_patch(pyramid, frame, taps, buffers);
}

}  // namespace orvo::detail
