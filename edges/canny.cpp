// Canny edge detector with sampled edge tracing. The arithmetic (float where
// the smoothing and suppression work in float, double where they widen) is
// kept exactly, since the sampled points decide the whole detection.
#include "edges/canny.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <opencv2/imgproc.hpp>

namespace {

constexpr double BOOSTBLURFACTOR = 90.0;

// Allocates n zero-initialised elements; on failure prints `message` and ends
// the process with status 1.
template <class T>
std::vector<T> allocate_or_exit(std::size_t n, const char* message)
{
    try {
        return std::vector<T>(n);
    } catch (const std::bad_alloc&) {
        std::fputs(message, stderr);
        std::exit(1);
    }
}

}  // namespace

std::vector<float> make_gaussian_kernel(float sigma)
{
    const int windowsize = 1 + 2 * static_cast<int>(std::ceil(2.5 * sigma));
    const int center = windowsize / 2;
    std::vector<float> kernel = allocate_or_exit<float>(windowsize, "Error callocing the gaussian kernel array.\n");
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
    const int center = static_cast<int>(kernel.size()) / 2;
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    std::vector<float> tempim = allocate_or_exit<float>(n, "Error allocating the buffer image.\n");
    std::vector<short> smoothed = allocate_or_exit<short>(n, "Error allocating the smoothed image.\n");

    // Each output is the taps' products summed in tap order, then divided by
    // the sum of the taps that fell inside the image. Away from the borders
    // every tap falls inside, and the loops run over whole rows at a time
    // (the same operations per pixel, in the same order).
    float full_sum = 0.0f;
    for (float k : kernel) full_sum += k;
    std::vector<float> dot(static_cast<std::size_t>(std::max(rows, cols)));

    for (int r = 0; r < rows; ++r) {
        const unsigned char* row = image + static_cast<std::size_t>(r) * cols;
        float* out = tempim.data() + static_cast<std::size_t>(r) * cols;
        auto border_pixel = [&](int c) {
            float d = 0.0f, sum = 0.0f;
            const int lo = std::max(-center, -c), hi = std::min(center, cols - 1 - c);
            for (int cc = lo; cc <= hi; ++cc) {
                d += static_cast<float>(row[c + cc]) * kernel[center + cc];
                sum += kernel[center + cc];
            }
            out[c] = d / sum;
        };
        const int first = std::min(center, cols), last = std::max(first, cols - center);
        for (int c = 0; c < first; ++c) border_pixel(c);
        for (int c = last; c < cols; ++c) border_pixel(c);
        std::fill(dot.begin(), dot.begin() + cols, 0.0f);
        for (int cc = -center; cc <= center; ++cc) {
            const float k = kernel[center + cc];
            for (int c = first; c < last; ++c) dot[c] += static_cast<float>(row[c + cc]) * k;
        }
        for (int c = first; c < last; ++c) out[c] = dot[c] / full_sum;
    }

    for (int r = 0; r < rows; ++r) {
        const int lo = std::max(-center, -r), hi = std::min(center, rows - 1 - r);
        float sum = 0.0f;
        for (int rr = lo; rr <= hi; ++rr) sum += kernel[center + rr];
        std::fill(dot.begin(), dot.begin() + cols, 0.0f);
        for (int rr = lo; rr <= hi; ++rr) {
            const float k = kernel[center + rr];
            const float* in = tempim.data() + static_cast<std::size_t>(r + rr) * cols;
            for (int c = 0; c < cols; ++c) dot[c] += in[c] * k;
        }
        short* out = smoothed.data() + static_cast<std::size_t>(r) * cols;
        const double divisor = sum;
        for (int c = 0; c < cols; ++c) out[c] = static_cast<short>(dot[c] * BOOSTBLURFACTOR / divisor + 0.5);
    }
    return smoothed;
}

void derrivative_x_y(const short* s, int rows, int cols, std::vector<short>& delta_x,
                     std::vector<short>& delta_y)
{
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    delta_x = allocate_or_exit<short>(n, "Error allocating the delta_x image.\n");
    delta_y = allocate_or_exit<short>(n, "Error allocating the delta_y image.\n");

    for (int r = 0; r < rows; ++r) {
        const short* row = s + static_cast<std::size_t>(r) * cols;
        short* dx = delta_x.data() + static_cast<std::size_t>(r) * cols;
        dx[0] = static_cast<short>(row[1] - row[0]);
        for (int c = 1; c < cols - 1; ++c) dx[c] = static_cast<short>(row[c + 1] - row[c - 1]);
        dx[cols - 1] = static_cast<short>(row[cols - 1] - row[cols - 2]);
    }
    for (int r = 0; r < rows; ++r) {
        const int above = r == 0 ? 0 : r - 1;
        const int below = r == rows - 1 ? rows - 1 : r + 1;
        const short* a = s + static_cast<std::size_t>(above) * cols;
        const short* b = s + static_cast<std::size_t>(below) * cols;
        short* dy = delta_y.data() + static_cast<std::size_t>(r) * cols;
        for (int c = 0; c < cols; ++c) dy[c] = static_cast<short>(b[c] - a[c]);
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

    for (int r = 1; r <= rows - 3; ++r) {
        for (int c = 1; c <= cols - 3; ++c) {
            const std::size_t i = static_cast<std::size_t>(r) * cols + c;
            const short m = mag[i];
            if (m == 0) {
                result[i] = NOEDGE;
                continue;
            }
            const short gx = gradx[i], gy = grady[i];
            const float xperp = -gx / static_cast<float>(m);
            const float yperp = gy / static_cast<float>(m);
            const int E = mag[i + 1], W = mag[i - 1];
            const int N = mag[i - cols], S = mag[i + cols];
            const int NE = mag[i - cols + 1], NW = mag[i - cols - 1];
            const int SE = mag[i + cols + 1], SW = mag[i + cols - 1];
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
            result[i] = (mag1 > 0.0f || mag2 >= 0.0f) ? NOEDGE : POSSIBLE_EDGE;
        }
    }
}

void follow_edges(unsigned char* edgemap, const short* edgemag, short lowval, int cols,
                  std::vector<cv::Point>& points, int step, int x, int y)
{
    const std::ptrdiff_t c = cols;
    const std::ptrdiff_t offset[8] = {1, 1 - c, -c, -1 - c, -1, -1 + c, c, 1 + c};

    // An explicit stack in place of recursion: entry k is the pixel reached
    // after k steps (the call at depth k + 1) and the next neighbour it will
    // examine. Long edges of large images would otherwise overflow the call
    // stack.
    struct frame {
        std::ptrdiff_t pixel;
        int next;
    };
    std::vector<frame> stack;
    stack.reserve(64);
    stack.push_back({static_cast<std::ptrdiff_t>(y) * c + x, 0});
    while (!stack.empty()) {
        frame& f = stack.back();
        int k = f.next;
        std::ptrdiff_t i = 0;
        for (; k < 8; ++k) {
            i = f.pixel + offset[k];
            if (edgemap[i] == POSSIBLE_EDGE && edgemag[i] > lowval) break;
        }
        if (k == 8) {
            stack.pop_back();
            continue;
        }
        f.next = k + 1;
        edgemap[i] = EDGE;
        const int depth = static_cast<int>(stack.size());
        if (depth % step == 0) points.emplace_back(static_cast<int>(i % c), static_cast<int>(i / c));
        stack.push_back({i, 0});
    }
}

void apply_hysteresis(const short* mag, const unsigned char* nms, int rows, int cols, float tlow,
                      float thigh, unsigned char* edge, std::vector<cv::Point>& points, int step,
                      int* high_threshold, int* low_threshold)
{
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    for (std::size_t i = 0; i < n; ++i) edge[i] = nms[i] == POSSIBLE_EDGE ? POSSIBLE_EDGE : NOEDGE;
    for (int r = 0; r < rows; ++r) {
        edge[static_cast<std::size_t>(r) * cols] = NOEDGE;
        edge[static_cast<std::size_t>(r) * cols + cols - 1] = NOEDGE;
    }
    for (int c = 0; c < cols; ++c) {
        edge[c] = NOEDGE;
        edge[static_cast<std::size_t>(rows - 1) * cols + c] = NOEDGE;
    }

    // Candidates are counted at their magnitude (never 0: suppression drops
    // magnitude 0), everything else in bin 0, which the thresholds ignore.
    std::vector<int> hist(32768, 0);
    for (std::size_t i = 0; i < n; ++i) hist[edge[i] == POSSIBLE_EDGE ? mag[i] : 0]++;

    int numedges = 0, maximum_mag = 0;
    for (int r = 1; r < 32768; ++r) {
        if (hist[r] != 0) maximum_mag = r;
        numedges += hist[r];
    }
    const int highcount = static_cast<int>(numedges * thigh + 0.5);

    int r = 1;
    numedges = hist[1];
    while (r < maximum_mag - 1 && numedges < highcount) {
        ++r;
        numedges += hist[r];
    }
    const int highthreshold = r;
    const short lowthreshold = static_cast<short>(static_cast<int>(highthreshold * tlow + 0.5));
    if (high_threshold) *high_threshold = highthreshold;
    if (low_threshold) *low_threshold = lowthreshold;

    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * cols + x;
            if (edge[i] == POSSIBLE_EDGE && mag[i] >= highthreshold) {
                edge[i] = EDGE;
                points.emplace_back(x, y);
                follow_edges(edge, mag, lowthreshold, cols, points, step, x, y);
            }
        }
    }
    for (std::size_t i = 0; i < n; ++i) edge[i] = edge[i] == EDGE ? EDGE : NOEDGE;
}

void returnGradAndCanny(const cv::Mat& image, cv::Mat& edges, cv::Mat& gradient, double sigma,
                        std::vector<cv::Point>& points, int step, int* high_threshold, int* low_threshold)
{
    CV_Assert(image.type() == CV_8UC1);
    const int rows = image.rows, cols = image.cols;
    edges = cv::Mat::zeros(rows, cols, CV_8UC1);
    gradient.create(rows, cols, CV_32FC1);
    // Below 3 x 3 the derivatives and the suppression have no interior to
    // work on: such an image has no edges.
    if (rows < 3 || cols < 3) {
        gradient.setTo(0.0f);
        return;
    }

    cv::Mat presmoothed;
    cv::GaussianBlur(image, presmoothed, cv::Size(0, 0), 0.8, 0.0, cv::BORDER_REPLICATE);
    if (!presmoothed.isContinuous()) presmoothed = presmoothed.clone();

    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    std::vector<short> smoothed = gaussian_smooth(presmoothed.ptr<unsigned char>(), rows, cols,
                                                  static_cast<float>(sigma));
    std::vector<short> delta_x, delta_y;
    derrivative_x_y(smoothed.data(), rows, cols, delta_x, delta_y);
    smoothed = std::vector<short>();

    std::vector<short> magnitude = allocate_or_exit<short>(n, "Error allocating the magnitude image.\n");
    for (std::size_t i = 0; i < n; ++i) {
        const int dx = delta_x[i], dy = delta_y[i];
        magnitude[i] = static_cast<short>(
            0.5 + std::sqrt(static_cast<float>(dx * dx) + static_cast<float>(dy * dy)));
    }

    std::vector<unsigned char> nms = allocate_or_exit<unsigned char>(n, "Error allocating the nms image.\n");
    non_max_supp(magnitude.data(), delta_x.data(), delta_y.data(), rows, cols, nms.data());
    std::vector<unsigned char> edgemap = allocate_or_exit<unsigned char>(n, "Error allocating the edge image.\n");
    apply_hysteresis(magnitude.data(), nms.data(), rows, cols, 0.2f, 0.6f, edgemap.data(), points, step,
                     high_threshold, low_threshold);

    for (int r = 0; r < rows; ++r) {
        unsigned char* out = edges.ptr<unsigned char>(r);
        const unsigned char* in = edgemap.data() + static_cast<std::size_t>(r) * cols;
        for (int c = 0; c < cols; ++c) out[c] = static_cast<unsigned char>(~in[c]);
    }

    short lo = magnitude[0], hi = magnitude[0];
    for (short m : magnitude) {
        lo = std::min(lo, m);
        hi = std::max(hi, m);
    }
    const double min = lo, range = static_cast<double>(hi) - min;
    if (range == 0) {
        gradient.setTo(0.0f);  // no edges anywhere
        return;
    }
    for (int r = 0; r < rows; ++r) {
        float* out = gradient.ptr<float>(r);
        const short* in = magnitude.data() + static_cast<std::size_t>(r) * cols;
        for (int c = 0; c < cols; ++c) out[c] = static_cast<float>((in[c] - min) / range * 255.0);
    }
}
