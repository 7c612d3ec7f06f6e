// Affine-invariant SIFT descriptors: normalised patches on a mosaic, then
// OpenCV's SIFT descriptor at each patch centre.
#include "descriptors/affine_sift.h"

#include <algorithm>
#include <cmath>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// The region's unit circle has this radius in the patch; the patch reaches
// HALF pixels from its centre, enough for the descriptor's 4 x 4 grid (which
// spans 2.5 cells of RADIUS / 3 on each side once its samples spread) and the
// smoothing that precedes it.
constexpr double RADIUS = 16.0;
constexpr int HALF = 26;
constexpr int PATCH = 2 * HALF + 1;
constexpr int BATCH = 1024;  // patches per mosaic

// The SIFT grid spans 6 scale units on each side of the centre.
constexpr float KEYPOINT_SIZE = static_cast<float>(2 * RADIUS / 6);

// M^(-1/2) for a symmetric positive definite 2 x 2 matrix, and the smaller
// semi-axis 1 / sqrt(largest eigenvalue).
cv::Matx22d inverse_square_root(double a, double b, double c, double& smaller_semi_axis)
{
    const double d = std::sqrt((a - c) * (a - c) + 4 * b * b);
    const double l1 = (a + c + d) / 2, l2 = (a + c - d) / 2;
    // Unit eigenvector of l1.
    double ex = b, ey = l1 - a;
    if (std::abs(ex) + std::abs(ey) < 1e-300) {
        ex = l1 - c;
        ey = b;
    }
    double norm = std::hypot(ex, ey);
    if (norm == 0) {
        ex = 1;
        ey = 0;
        norm = 1;
    }
    ex /= norm;
    ey /= norm;
    const double s1 = 1 / std::sqrt(l1), s2 = 1 / std::sqrt(l2);
    smaller_semi_axis = s1;
    // V diag(s1, s2) V' with V = [e, e_perp].
    return cv::Matx22d(s1 * ex * ex + s2 * ey * ey, (s1 - s2) * ex * ey, (s1 - s2) * ex * ey,
                       s1 * ey * ey + s2 * ex * ex);
}

// Resamples the patch whose pixel (x, y) shows the image point
// centre + T ((x - HALF) / RADIUS, (y - HALF) / RADIUS).
void sample_patch(const cv::Mat& image, cv::Point2d centre, const cv::Matx22d& T, cv::Mat& patch)
{
    const double k = 1 / RADIUS;
    const cv::Matx23d map(T(0, 0) * k, T(0, 1) * k, centre.x - (T(0, 0) + T(0, 1)) * k * HALF, T(1, 0) * k,
                          T(1, 1) * k, centre.y - (T(1, 0) + T(1, 1)) * k * HALF);
    cv::warpAffine(image, patch, map, cv::Size(PATCH, PATCH), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                   cv::BORDER_REPLICATE);
}

// The dominant gradient orientation (radians, image axes) inside the unit
// circle of a float patch: the patch smoothed (sigma 2 pixels), a 36-bin
// histogram of gradient directions weighted by magnitude and a Gaussian of
// half the circle's radius, votes shared between neighbouring bins, the
// histogram smoothed twice, its peak refined by a parabola.
double dominant_orientation(const cv::Mat& raw)
{
    constexpr int BINS = 36;
    // Weights of the pixels of the circle, and zero outside it.
    static const cv::Mat weights = [] {
        cv::Mat w(PATCH, PATCH, CV_32F, cv::Scalar(0));
        const double sigma = RADIUS / 2;
        for (int y = 1; y < PATCH - 1; ++y)
            for (int x = 1; x < PATCH - 1; ++x) {
                const double r2 = (x - HALF) * (x - HALF) + (y - HALF) * (y - HALF);
                if (r2 <= RADIUS * RADIUS) w.at<float>(y, x) = static_cast<float>(std::exp(-r2 / (2 * sigma * sigma)));
            }
        return w;
    }();

    cv::Mat patch, gx(PATCH, PATCH, CV_32F, cv::Scalar(0)), gy(PATCH, PATCH, CV_32F, cv::Scalar(0));
    cv::GaussianBlur(raw, patch, cv::Size(0, 0), 2.0, 2.0, cv::BORDER_REPLICATE);
    const cv::Rect inner(1, 1, PATCH - 2, PATCH - 2);
    cv::subtract(patch(inner + cv::Point(1, 0)), patch(inner - cv::Point(1, 0)), gx(inner));
    cv::subtract(patch(inner + cv::Point(0, 1)), patch(inner - cv::Point(0, 1)), gy(inner));
    cv::Mat magnitude, angle;
    cv::cartToPolar(gx, gy, magnitude, angle);  // angle in radians, 0 .. 2 pi
    cv::multiply(magnitude, weights, magnitude);

    double hist[BINS] = {};
    for (int y = 1; y < PATCH - 1; ++y) {
        const float* m = magnitude.ptr<float>(y);
        const float* a = angle.ptr<float>(y);
        for (int x = 1; x < PATCH - 1; ++x) {
            if (m[x] == 0) continue;
            const double position = a[x] * (BINS / (2 * CV_PI)) - 0.5;  // bin centres at whole numbers
            const int below = static_cast<int>(std::floor(position));
            const double fraction = position - below;
            hist[(below + BINS) % BINS] += m[x] * (1 - fraction);
            hist[(below + 1) % BINS] += m[x] * fraction;
        }
    }
    double smooth[BINS];
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < BINS; ++i)
            smooth[i] = (hist[(i + BINS - 2) % BINS] + hist[(i + 2) % BINS]) * (1.0 / 16) +
                        (hist[(i + BINS - 1) % BINS] + hist[(i + 1) % BINS]) * (4.0 / 16) + hist[i] * (6.0 / 16);
        std::copy(smooth, smooth + BINS, hist);
    }
    const int peak = static_cast<int>(std::max_element(hist, hist + BINS) - hist);
    const double left = hist[(peak + BINS - 1) % BINS], right = hist[(peak + 1) % BINS], top = hist[peak];
    const double denominator = left - 2 * top + right;
    const double offset = denominator != 0 ? 0.5 * (left - right) / denominator : 0;
    return (peak + 0.5 + offset) * 2 * CV_PI / BINS;
}

// The direction in the image, radians in [0, 2 pi), of the direction theta
// of the normalised patch whose points p show the image points centre + T p.
float image_direction(const cv::Matx22d& T, double theta)
{
    const cv::Vec2d direction = T * cv::Vec2d(std::cos(theta), std::sin(theta));
    const double angle = std::atan2(direction[1], direction[0]);
    const float wrapped = static_cast<float>(angle < 0 ? angle + 2 * CV_PI : angle);
    return wrapped < static_cast<float>(2 * CV_PI) ? wrapped : 0.0f;
}

}  // namespace

bool can_sample(const affine_region& r)
{
    if (!(std::fabs(r.u) <= MAX_CENTRE && std::fabs(r.v) <= MAX_CENTRE && r.a > 0 && r.c > 0)) return false;
    // Semi-axes are 1 / sqrt(eigenvalue), so the eigenvalues must lie within
    // [1 / MAX_SEMI_AXIS^2, 1 / MIN_SEMI_AXIS^2]. The smaller one is the
    // determinant over the larger, here without the underflow of a c - b^2
    // for tiny matrices.
    const double d = std::hypot(r.a - r.c, 2 * r.b);
    const double larger = (r.a + r.c + d) / 2;
    const double smaller = (r.a / larger) * r.c - (r.b / larger) * r.b;
    return larger <= 1 / (MIN_SEMI_AXIS * MIN_SEMI_AXIS) && smaller >= 1 / (MAX_SEMI_AXIS * MAX_SEMI_AXIS);
}

cv::Mat compute_affine_sift(const cv::Mat& grey, const std::vector<affine_region>& regions,
                            std::vector<float>* orientations)
{
    CV_Assert(grey.type() == CV_8UC1);
    for (const affine_region& region : regions) CV_Assert(can_sample(region));
    cv::Mat descriptors(static_cast<int>(regions.size()), DESCRIPTOR_LENGTH, CV_8UC1, cv::Scalar(0));
    if (orientations != nullptr) orientations->assign(regions.size(), 0.0f);
    if (regions.empty()) return descriptors;

    // A pyramid of the grey image in floating point, halving until small.
    std::vector<cv::Mat> pyramid(1);
    grey.convertTo(pyramid[0], CV_32F);
    while (std::min(pyramid.back().rows, pyramid.back().cols) >= 32) {
        cv::Mat next;
        cv::pyrDown(pyramid.back(), next);
        pyramid.push_back(next);
    }

    // SIFT describes at the first level of its own Gaussian pyramid, which it
    // builds for the whole mosaic. Each patch is smoothed to that level's
    // blur here (sigma 1.6 for an image taken as blurred by 0.5), and SIFT is
    // told to start from sigma 0.5, so that its pyramid costs next to
    // nothing.
    const double level_blur = std::sqrt(1.6 * 1.6 - 0.5 * 0.5);
    const cv::Ptr<cv::SIFT> sift = cv::SIFT::create(0, 3, 0.04, 10, 0.5, CV_8U);
    cv::Mat patch, turned;
    for (std::size_t first = 0; first < regions.size(); first += BATCH) {
        const int count = static_cast<int>(std::min<std::size_t>(BATCH, regions.size() - first));
        const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
        const int rows = (count + columns - 1) / columns;
        cv::Mat mosaic(rows * PATCH, columns * PATCH, CV_8UC1, cv::Scalar(0));
        std::vector<cv::KeyPoint> keypoints;
        keypoints.reserve(count);

        for (int k = 0; k < count; ++k) {
            const affine_region& region = regions[first + k];
            double smaller_semi_axis = 0;
            const cv::Matx22d T = inverse_square_root(region.a, region.b, region.c, smaller_semi_axis);

            // The level whose pixels are at most as large as the patch's
            // sampling step along the region's smaller axis.
            const double step = smaller_semi_axis / RADIUS;
            int level = step > 1 ? static_cast<int>(std::floor(std::log2(step))) : 0;
            level = std::min(level, static_cast<int>(pyramid.size()) - 1);
            const double shrink = std::ldexp(1.0, -level);
            const cv::Point2d centre((region.u + 0.5) * shrink - 0.5, (region.v + 0.5) * shrink - 0.5);
            const cv::Matx22d T_level = T * shrink;

            sample_patch(pyramid[level], centre, T_level, patch);
            const double theta = dominant_orientation(patch);
            const cv::Matx22d rotation(std::cos(theta), -std::sin(theta), std::sin(theta), std::cos(theta));
            if (orientations != nullptr) (*orientations)[first + k] = image_direction(T, theta);
            sample_patch(pyramid[level], centre, T_level * rotation, turned);

            const int x0 = (k % columns) * PATCH, y0 = (k / columns) * PATCH;
            cv::GaussianBlur(turned, turned, cv::Size(0, 0), level_blur, level_blur, cv::BORDER_REPLICATE);
            turned.convertTo(mosaic(cv::Rect(x0, y0, PATCH, PATCH)), CV_8U);
            keypoints.emplace_back(cv::Point2f(static_cast<float>(x0 + HALF), static_cast<float>(y0 + HALF)),
                                   KEYPOINT_SIZE, 0.0f);
        }

        cv::Mat batch;
        std::vector<cv::KeyPoint> described = keypoints;
        sift->compute(mosaic, described, batch);
        CV_Assert(batch.rows == count && described.size() == keypoints.size());
        batch.copyTo(descriptors.rowRange(static_cast<int>(first), static_cast<int>(first) + count));
    }
    return descriptors;
}
