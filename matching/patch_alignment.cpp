// Gauss-Newton alignment of a matched region's patch onto its partner's,
// with an affine warp, a gain and a bias.
#include "matching/patch_alignment.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace orvo::detail {

namespace {

constexpr int smallest_level_side = 16;

// Bilinear samples of a level, its gradient and whether the point lies
// within the level's pixel centres.
struct intensity_sample {
    float value = 0, dx = 0, dy = 0;
};

bool sample(const alignment_pyramid& pyramid, int level, double x, double y, intensity_sample& out, bool gradient)
{
    const cv::Mat& image = pyramid.levels[level];
    if (!(x >= 0 && y >= 0 && x <= image.cols - 1 && y <= image.rows - 1)) return false;
    const int x0 = std::min(static_cast<int>(x), image.cols - 2), y0 = std::min(static_cast<int>(y), image.rows - 2);
    const float fx = static_cast<float>(x - x0), fy = static_cast<float>(y - y0);
    const auto bilinear = [&](const cv::Mat& m) {
        const float* r0 = m.ptr<float>(y0);
        const float* r1 = m.ptr<float>(y0 + 1);
        return (1 - fy) * ((1 - fx) * r0[x0] + fx * r0[x0 + 1]) + fy * ((1 - fx) * r1[x0] + fx * r1[x0 + 1]);
    };
    out.value = bilinear(image);
    if (gradient) {
        out.dx = bilinear(pyramid.dx[level]);
        out.dy = bilinear(pyramid.dy[level]);
    }
    return true;
}

// The level whose pixels match a grid spacing: the grid's frame `P` spread
// over `half` samples, measured by its geometric-mean axis.
int level_for(const cv::Matx22d& P, int half, int highest)
{
    const double spacing = std::sqrt(std::abs(cv::determinant(P))) / half;
    const int level = spacing > 1 ? static_cast<int>(std::floor(std::log2(spacing))) : 0;
    return std::clamp(level, 0, highest);
}

struct grid_point {
    cv::Vec2d u;
    double weight;
    float value;  // the first patch's intensity
};

// Weighted means, variances and covariance of the first patch and the
// second image sampled through the warp p2 + P2 u (the grid points whose
// warped point lies outside the second image left out).
struct patch_moments {
    double mean1 = 0, mean2 = 0, variance1 = 0, variance2 = 0, covariance = 0;
};

patch_moments moments(const std::vector<grid_point>& grid, const alignment_pyramid& image2, int level2, double scale2,
                     const cv::Vec2d& p2, const cv::Matx22d& P2)
{
    double n = 0, m1 = 0, m2 = 0, s11 = 0, s22 = 0, s12 = 0;
    for (const grid_point& g : grid) {
        const cv::Vec2d x = p2 + P2 * g.u;
        intensity_sample s;
        if (!sample(image2, level2, x[0] * scale2, x[1] * scale2, s, false)) continue;
        n += g.weight;
        m1 += g.weight * g.value;
        m2 += g.weight * s.value;
        s11 += g.weight * g.value * g.value;
        s22 += g.weight * s.value * s.value;
        s12 += g.weight * g.value * s.value;
    }
    patch_moments m;
    if (n <= 0) return m;
    m.mean1 = m1 / n;
    m.mean2 = m2 / n;
    m.variance1 = s11 / n - m.mean1 * m.mean1;
    m.variance2 = s22 / n - m.mean2 * m.mean2;
    m.covariance = s12 / n - m.mean1 * m.mean2;
    return m;
}

}  // namespace

alignment_pyramid build_alignment_pyramid(const cv::Mat& grey)
{
    alignment_pyramid pyramid;
    cv::Mat level;
    grey.convertTo(level, CV_32F);
    while (true) {
        cv::Mat dx, dy;
        cv::Sobel(level, dx, CV_32F, 1, 0, 1, 0.5, 0, cv::BORDER_REPLICATE);
        cv::Sobel(level, dy, CV_32F, 0, 1, 1, 0.5, 0, cv::BORDER_REPLICATE);
        pyramid.levels.push_back(level);
        pyramid.dx.push_back(dx);
        pyramid.dy.push_back(dy);
        if (std::min(level.cols, level.rows) < 2 * smallest_level_side) break;
        cv::Mat next;
        cv::pyrDown(level, next);
        level = next;
    }
    return pyramid;
}

patch_alignment align_patch(const alignment_pyramid& image1, const alignment_pyramid& image2, const cv::Vec2d& point1,
                           const cv::Matx22d& frame1, const cv::Vec2d& point2, const cv::Matx22d& affine,
                           const patch_alignment_settings& settings)
{
    patch_alignment result;
    result.point2 = point2;
    result.affine = affine;
    const cv::Matx22d P1 = frame1 * settings.radius;
    cv::Matx22d P2 = affine * P1;
    if (!(std::abs(cv::determinant(P1)) > 0 && std::abs(cv::determinant(P2)) > 0)) return result;
    const int level1 = level_for(P1, settings.half, static_cast<int>(image1.levels.size()) - 1);
    const int level2 = level_for(P2, settings.half, static_cast<int>(image2.levels.size()) - 1);
    const double scale1 = std::ldexp(1.0, -level1), scale2 = std::ldexp(1.0, -level2);

    // The first patch, on a disk of the grid weighted towards its centre.
    std::vector<grid_point> grid;
    const double sigma2 = 2 * 0.5 * 0.5;
    for (int i = -settings.half; i <= settings.half; ++i)
        for (int j = -settings.half; j <= settings.half; ++j) {
            const cv::Vec2d u(double(j) / settings.half, double(i) / settings.half);
            if (u.dot(u) > 1) continue;
            const cv::Vec2d x = point1 + P1 * u;
            intensity_sample s;
            if (!sample(image1, level1, x[0] * scale1, x[1] * scale1, s, false)) continue;
            grid.push_back({u, std::exp(-u.dot(u) / sigma2), s.value});
        }
    const std::size_t needed = grid.size() / 2 + 1;
    if (grid.size() < 16) return result;

    // Gain and bias from the patches' means and deviations at the start.
    cv::Vec2d p2 = point2;
    const patch_moments start = moments(grid, image2, level2, scale2, p2, P2);
    if (!(start.variance1 > 1e-6 && start.variance2 > 1e-6)) return result;  // a flat patch cannot be aligned
    double gain = std::sqrt(start.variance1 / start.variance2);
    double bias = start.mean1 - gain * start.mean2;

    // The warp's affine part is held while the translation settles (a
    // step on all six parameters from a rough start overshoots), then all
    // move together.
    const double max_shift = settings.max_shift * std::sqrt(std::abs(cv::determinant(P2)));
    bool affine_held = true;
    for (int iteration = 1; iteration <= settings.max_iterations; ++iteration) {
        cv::Matx<double, 8, 8> H = cv::Matx<double, 8, 8>::zeros();
        cv::Vec<double, 8> e = cv::Vec<double, 8>::all(0);
        std::size_t inside = 0;
        for (const grid_point& g : grid) {
            const cv::Vec2d x = p2 + P2 * g.u;
            intensity_sample s;
            if (!sample(image2, level2, x[0] * scale2, x[1] * scale2, s, true)) continue;
            ++inside;
            const double gx = gain * s.dx * scale2, gy = gain * s.dy * scale2;
            const cv::Vec<double, 8> J(gx, gy, gx * g.u[0], gx * g.u[1], gy * g.u[0], gy * g.u[1], s.value, 1.0);
            const double r = gain * s.value + bias - g.value;
            H += g.weight * J * J.t();
            e += g.weight * r * J;
        }
        if (inside < needed) return result;
        if (affine_held)
            for (int k = 2; k < 6; ++k) {
                for (int j = 0; j < 8; ++j) H(k, j) = H(j, k) = 0;
                H(k, k) = 1;
                e[k] = 0;
            }
        cv::Vec<double, 8> step;
        if (!cv::solve(H, -e, step, cv::DECOMP_CHOLESKY)) return result;
        p2 += cv::Vec2d(step[0], step[1]);
        P2 += cv::Matx22d(step[2], step[3], step[4], step[5]);
        gain += step[6];
        bias += step[7];
        result.iterations = iteration;
        if (!(cv::norm(p2 - point2) <= max_shift) || !(cv::determinant(P2) * cv::determinant(P1) > 0) ||
            !(gain > 0))
            return result;
        // A grid point (|u| <= 1) moves by at most |dp| + |dP|.
        const double moved = std::hypot(step[0], step[1]) + std::sqrt(step[2] * step[2] + step[3] * step[3] +
                                                                      step[4] * step[4] + step[5] * step[5]);
        if (moved < (affine_held ? 10 : 1) * settings.tolerance) {
            result.converged = !affine_held;
            if (result.converged) break;
            affine_held = false;
        }
    }
    if (!result.converged) return result;

    const patch_moments aligned = moments(grid, image2, level2, scale2, p2, P2);
    result.correlation = aligned.covariance / std::sqrt(std::max(aligned.variance1 * aligned.variance2, 1e-12));
    result.point2 = p2;
    result.affine = P2 * P1.inv();
    result.gain = gain;
    result.bias = bias;
    return result;
}

}  // namespace orvo::detail
