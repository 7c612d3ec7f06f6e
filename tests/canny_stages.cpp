// The edge detection's stages on whole images, from the detector's row
// kernels.
#include "tests/canny_stages.h"

#include "edges/gaussian_smoothing.h"
#include "edges/gradient.h"
#include "edges/suppression.h"

using namespace orvo::detail;

std::vector<short> smooth_image(const std::vector<unsigned char>& image, int rows, int cols, float sigma)
{
    const std::vector<float> kernel = gaussian_kernel(sigma);
    std::vector<short> smoothed(static_cast<std::size_t>(rows) * cols);
    row_smoother smooth(kernel, rows, cols, image.data(), static_cast<std::size_t>(cols), cv::useOptimized());
    for (int r = 0; r < rows; ++r) smooth.row(r, smoothed.data() + static_cast<std::size_t>(r) * cols);
    return smoothed;
}

image_gradient gradient_of(const std::vector<short>& smoothed, int rows, int cols)
{
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    image_gradient g{std::vector<short>(n), std::vector<short>(n), std::vector<short>(n)};
    for (int r = 0; r < rows; ++r) {
        const std::size_t at = static_cast<std::size_t>(r) * cols;
        const short* above = smoothed.data() + static_cast<std::size_t>(r == 0 ? 0 : r - 1) * cols;
        const short* below = smoothed.data() + static_cast<std::size_t>(r == rows - 1 ? rows - 1 : r + 1) * cols;
        gradient_row(above, smoothed.data() + at, below, cols, g.dx.data() + at, g.dy.data() + at,
                     g.magnitude.data() + at, cv::useOptimized());
    }
    return g;
}

std::vector<unsigned char> suppress_non_maxima(const std::vector<short>& magnitude, const std::vector<short>& dx,
                                               const std::vector<short>& dy, int rows, int cols)
{
    std::vector<unsigned char> map(magnitude.size(), 0);
    for (int r = 1; r <= rows - 3; ++r) {
        const std::size_t at = static_cast<std::size_t>(r) * cols;
        suppression_row(magnitude.data() + at - cols, magnitude.data() + at, magnitude.data() + at + cols,
                        dx.data() + at, dy.data() + at, cols, map.data() + at, nullptr, cv::useOptimized());
    }
    return map;
}

hysteresis_result hysteresis(const std::vector<short>& magnitude, const std::vector<unsigned char>& suppression,
                             int rows, int cols, int step, int phase)
{
    hysteresis_result result;
    std::vector<int> histogram(HISTOGRAM_BINS, 0);
    result.edges.assign(suppression.size(), NOT_CANDIDATE);
    for (int r = 1; r < rows - 1; ++r) {
        for (int c = 1; c < cols - 1; ++c) {
            const std::size_t i = static_cast<std::size_t>(r) * cols + c;
            if (suppression[i] != CANDIDATE) continue;
            result.edges[i] = CANDIDATE;
            ++histogram[magnitude[i]];
        }
    }
    result.thresholds = choose_thresholds(histogram.data(), LOW_THRESHOLD_RATIO, HIGH_THRESHOLD_FRACTION);
    result.points = trace_edges(magnitude.data(), result.edges.data(), rows, cols, result.thresholds, {step},
                                cv::useOptimized(), phase)[0];
    return result;
}
