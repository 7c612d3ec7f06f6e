// Halving an image with the 5 x 5 binomial kernel, in bands of rows.
#include "descriptors/image_pyramid.h"

#include <algorithm>

#include "parallel/jobs.h"

namespace orvo::detail {

namespace {

// Index i mirrored into [0, n) without repeating the edge (n >= 2).
int mirrored(int i, int n)
{
    if (i < 0) return -i;
    if (i >= n) return 2 * n - 2 - i;
    return i;
}

// The source row `y` filtered by (1 4 6 4 1) and kept at even columns: the
// columns whose taps stay inside in a loop that vectorises, the first and
// the last ones with mirrored taps.
template <class Pixel>
void halve_row(const Pixel* src, int width, float* out, int out_width)
{
    const int interior_end = std::clamp((width - 3) / 2 + 1, 1, out_width);  // columns 2x + 2 < width
    auto at = [&](int x) { return static_cast<float>(src[mirrored(x, width)]); };
    auto mirrored_column = [&](int x) {
        const int c = 2 * x;
        out[x] = (at(c - 2) + at(c + 2)) + (at(c - 1) + at(c + 1)) * 4.0f + at(c) * 6.0f;
    };
    mirrored_column(0);
    for (int x = 1; x < interior_end; ++x) {
        const Pixel* s = src + 2 * x;
        out[x] = (static_cast<float>(s[-2]) + static_cast<float>(s[2])) +
                 (static_cast<float>(s[-1]) + static_cast<float>(s[1])) * 4.0f + static_cast<float>(s[0]) * 6.0f;
    }
    for (int x = interior_end; x < out_width; ++x) mirrored_column(x);
}

// Rows [first, end) of the halved image; five filtered source rows are kept
// in a ring, each filtered once.
template <class Pixel>
void halve_rows(const cv::Mat& src, cv::Mat& dst, int first, int end)
{
    const int out_width = dst.cols;
    std::vector<float> ring(5 * static_cast<std::size_t>(out_width));
    int filtered_up_to = 2 * first - 3;  // the last source row (unmirrored) in the ring
    for (int y = first; y < end; ++y) {
        for (int r = std::max(filtered_up_to + 1, 2 * y - 2); r <= 2 * y + 2; ++r)
            halve_row(src.ptr<Pixel>(mirrored(r, src.rows)), src.cols, &ring[((r + 5) % 5) * out_width], out_width);
        filtered_up_to = 2 * y + 2;
        const float* r0 = &ring[((2 * y - 2 + 5) % 5) * out_width];
        const float* r1 = &ring[((2 * y - 1 + 5) % 5) * out_width];
        const float* r2 = &ring[((2 * y + 5) % 5) * out_width];
        const float* r3 = &ring[((2 * y + 1 + 5) % 5) * out_width];
        const float* r4 = &ring[((2 * y + 2 + 5) % 5) * out_width];
        float* out = dst.ptr<float>(y);
        for (int x = 0; x < out_width; ++x)
            out[x] = ((r0[x] + r4[x]) + (r1[x] + r3[x]) * 4.0f + r2[x] * 6.0f) * (1.0f / 256);
    }
}

template <class Pixel>
cv::Mat halve(const cv::Mat& src, int threads)
{
    cv::Mat dst((src.rows + 1) / 2, (src.cols + 1) / 2, CV_32FC1);
    const int bands = std::max(1, std::min(threads, dst.rows / 16));
    run_jobs(bands, [&](int band) {
        halve_rows<Pixel>(src, dst, dst.rows * band / bands, dst.rows * (band + 1) / bands);
    });
    return dst;
}

}  // namespace

int image_pyramid::highest_possible(cv::Size size)
{
    int highest = 0;
    while (std::min(size.width, size.height) >= 32) {
        size = cv::Size((size.width + 1) / 2, (size.height + 1) / 2);
        ++highest;
    }
    return highest;
}

image_pyramid::image_pyramid(const cv::Mat& grey, int highest, int threads)
{
    CV_Assert(grey.type() == CV_8UC1);
    highest = std::min(highest, highest_possible(grey.size()));
    levels_.reserve(highest + 1);
    levels_.push_back(grey);
    for (int k = 1; k <= highest; ++k)
        levels_.push_back(k == 1 ? halve<unsigned char>(grey, threads) : halve<float>(levels_.back(), threads));
}

}  // namespace orvo::detail
