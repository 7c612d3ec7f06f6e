// Canny edge detector with sampled edge tracing.
//
// From an 8-bit grey image it computes the two-valued edge image, the gradient
// magnitude scaled to 0..255, and the lists of edge pixels taken every `step`
// pixels along each traced edge, for one or more steps (the raw material of
// the weighted points).
// Working images are row-major arrays of rows x cols without padding.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

// Labels of the suppression map and the edge map.
constexpr unsigned char EDGE = 0;
constexpr unsigned char POSSIBLE_EDGE = 128;
constexpr unsigned char NOEDGE = 255;

// Runs the whole detector on `image` (8-bit, one channel). `edges` receives a
// new 8-bit image (255 on edges), `gradient` a 32-bit float image of the
// magnitude mapped to 0..255, and points[k] the edge pixels sampled every
// steps[k] pixels (x = column, y = row) in tracing order: the edges are
// detected once and traced once for each step.
// The hysteresis thresholds are reported through high_threshold and
// low_threshold when they are not null.
// With `threads` above 1 the smoothing, derivatives, magnitude and
// suppression run in that many bands of rows at once, and the gradient image
// is filled while the edges are traced; the results do not depend on it.
// The kernels use 128-bit vector instructions unless cv::useOptimized() is
// false, with the same results.
void returnGradAndCanny(const cv::Mat& image, cv::Mat& edges, cv::Mat& gradient, double sigma,
                        const std::vector<int>& steps, std::vector<std::vector<cv::Point>>& points,
                        int* high_threshold = nullptr, int* low_threshold = nullptr, int threads = 1);

// The normalised Gaussian kernel of 1 + 2 * ceil(2.5 * sigma) taps.
std::vector<float> make_gaussian_kernel(float sigma);

// Separable Gaussian smoothing, renormalised at the borders; the result is
// the smoothed intensity times 90, rounded.
std::vector<short> gaussian_smooth(const unsigned char* image, int rows, int cols, float sigma);

// Central differences, one-sided on the first and last row and column. When
// `magnitude` is not null it receives the gradient magnitude
// 0.5 + sqrt(dx * dx + dy * dy) truncated, the squares added in float.
void derrivative_x_y(const short* smoothed, int rows, int cols, std::vector<short>& delta_x,
                     std::vector<short>& delta_y, std::vector<short>* magnitude = nullptr);

// Non-maximum suppression with interpolation into `result` (zero-filled by
// the caller): NOEDGE or POSSIBLE_EDGE on rows 1..rows-3, columns 1..cols-3.
// Magnitudes are in 0..32767.
void non_max_supp(const short* mag, const short* gradx, const short* grady, int rows, int cols,
                  unsigned char* result);

// Hysteresis with thresholds taken from the magnitude histogram (of the
// candidates, magnitudes 0..32767); fills the edge map and appends the
// sampled points. Returns the high and low thresholds through the last two
// arguments when they are not null.
void apply_hysteresis(const short* mag, const unsigned char* nms, int rows, int cols, float tlow,
                      float thigh, unsigned char* edge, std::vector<cv::Point>& points, int step,
                      int* high_threshold = nullptr, int* low_threshold = nullptr);

// Traces the edge from the seed at (x, y), which is already marked EDGE:
// depth-first, east first then counter-clockwise, every neighbour whose
// magnitude is strictly above lowval. A pixel reached after d steps is
// recorded when d is a multiple of step.
void follow_edges(unsigned char* edgemap, const short* edgemag, short lowval, int cols,
                  std::vector<cv::Point>& points, int step, int x, int y);
