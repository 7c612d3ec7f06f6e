// Canny edge detection: the image presmoothed whole, the front stages in
// bands of rows, thresholds from the histogram of all bands, then the
// tracing, with the gradient image filled beside it.
#include "edges/canny.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <opencv2/imgproc.hpp>

#include "edges/gaussian_smoothing.h"
#include "edges/hysteresis.h"
#include "edges/row_bands.h"
#include "parallel/jobs.h"

namespace orvo::detail {
namespace {

// The image library's Gaussian blur applied before the detector's own
// smoothing.
constexpr double PRESMOOTHING_SIGMA = 0.8;

// Allocates n elements left uninitialised, for images that are written
// whole before they are read: their pages are first touched by the threads
// that fill them. Memory exhaustion is std::bad_alloc, as everywhere.
template <class T>
std::unique_ptr<T[]> allocate_uninitialised(std::size_t n)
{
    return std::unique_ptr<T[]>(new T[n]);
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

// Each band blurred as an image of its own, with rows beyond it to where
// the library's kernel (at most 4 sigma wide) does not reach.
cv::Mat presmoothed_image(const cv::Mat& image, int bands)
{
    const int halo = static_cast<int>(std::ceil(4 * PRESMOOTHING_SIGMA)) + 1;
    cv::Mat presmoothed(image.size(), image.type());
    run_jobs(bands, [&](int b) {
        const int first = static_cast<int>(static_cast<long long>(image.rows) * b / bands);
        const int end = static_cast<int>(static_cast<long long>(image.rows) * (b + 1) / bands);
        const int from = std::max(first - halo, 0), to = std::min(end + halo, image.rows);
        // A band without rows beyond it (the whole image) is blurred in place.
        cv::Mat rows = presmoothed.rowRange(first, end), blurred;
        cv::GaussianBlur(image.rowRange(from, to), from == first && to == end ? rows : blurred, cv::Size(0, 0),
                         PRESMOOTHING_SIGMA, 0.0, cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
        if (!blurred.empty()) blurred.rowRange(first - from, end - from).copyTo(rows);
    });
    return presmoothed;
}

canny_edges detect_canny_edges(const cv::Mat& image, double sigma, const std::vector<int>& steps, int threads,
                               int phase)
{
    CV_Assert(image.type() == CV_8UC1);
    canny_edges result;
    const int rows = image.rows, cols = image.cols;
    // Below 3 x 3 the derivatives and the suppression have no interior to
    // work on: such an image has no edges.
    if (rows < 3 || cols < 3) {
        result.points.resize(steps.size());
        result.edges = cv::Mat::zeros(rows, cols, CV_8UC1);
        result.gradient.create(rows, cols, CV_32FC1);
        result.gradient.setTo(0.0f);
        return result;
    }
    const bool vectorised = cv::useOptimized();
    const int bands = std::max(1, std::min(threads, rows));
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    const std::vector<float> kernel = gaussian_kernel(static_cast<float>(sigma));

    // The suppression map is built in the edge image itself.
    result.edges = cv::Mat(rows, cols, CV_8UC1);
    result.gradient.create(rows, cols, CV_32FC1);
    unsigned char* map = result.edges.ptr<unsigned char>();
    // The presmoothing is done whole before the front stages: each band of
    // these reads rows beyond it.
    cv::Mat presmoothed = presmoothed_image(image, bands);
    const std::unique_ptr<short[]> magnitude = allocate_uninitialised<short>(n);
    std::vector<int> histogram(HISTOGRAM_BINS);
    std::vector<band_buffers> work;
    work.reserve(bands);
    for (int b = 0; b < bands; ++b)
        work.emplace_back(static_cast<int>(static_cast<long long>(rows) * b / bands),
                          static_cast<int>(static_cast<long long>(rows) * (b + 1) / bands), cols, b > 0);

    run_jobs(bands, [&](int b) {
        compute_band(presmoothed, kernel, work[b], magnitude.get(), map,
                     b == 0 ? histogram.data() : work[b].histogram.data(), vectorised);
    });
    presmoothed.release();

    short lo = work[0].range.lo, hi = work[0].range.hi;
    for (int b = 1; b < bands; ++b) {
        lo = std::min(lo, work[b].range.lo);
        hi = std::max(hi, work[b].range.hi);
        for (int v = 0; v < HISTOGRAM_BINS; ++v) histogram[v] += work[b].histogram[v];
    }
    work = std::vector<band_buffers>();

    const hysteresis_thresholds thresholds =
        choose_thresholds(histogram.data(), LOW_THRESHOLD_RATIO, HIGH_THRESHOLD_FRACTION);
    result.high_threshold = thresholds.high;
    result.low_threshold = thresholds.low;

    // The gradient image needs only the magnitude: a second thread fills it
    // while the edges are traced.
    const int jobs = threads > 1 ? 2 : 1;
    run_jobs(jobs, [&](int job) {
        if (job == 0)
            result.points = trace_edges(magnitude.get(), map, rows, cols, thresholds, steps, vectorised, phase);
        if (job == 1 || jobs == 1) gradient_image(magnitude.get(), rows, cols, lo, hi, result.gradient);
    });
    return result;
}

sampled_edges sample_edges(const cv::Mat& grey, const std::vector<int>& steps, int threads, int phase)
{
    stage_clock clock;
    canny_edges canny = detect_canny_edges(grey, CANNY_SIGMA, steps, threads, phase);
    sampled_edges result;
    result.gradient = std::move(canny.gradient);
    result.points = std::move(canny.points);
    result.high_threshold = canny.high_threshold;
    result.low_threshold = canny.low_threshold;
    result.edge_pixels = static_cast<std::size_t>(cv::countNonZero(canny.edges));
    result.canny_time = clock.lap();
    return result;
}

}  // namespace orvo::detail
