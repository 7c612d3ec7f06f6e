// Drawing matches: two images side by side, matched ellipses joined by lines.
#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <vector>

#include "library/image_types.h"
#include "library/out_of_memory.h"
#include "orvo/match.h"

namespace orvo {

namespace {

cv::Mat bgr(const cv::Mat& image)
{
    const cv::Mat eight_bit = detail::to_eight_bit(image, "draw_matches");
    cv::Mat colour;
    if (eight_bit.channels() == 1)
        cv::cvtColor(eight_bit, colour, cv::COLOR_GRAY2BGR);
    else if (eight_bit.channels() == 4)
        cv::cvtColor(eight_bit, colour, cv::COLOR_BGRA2BGR);
    else
        colour = eight_bit;
    return colour;
}

// A bright colour of its own for each match, cycling through the hues.
cv::Scalar match_colour(std::size_t k)
{
    const cv::Mat hsv(1, 1, CV_8UC3, cv::Scalar(static_cast<double>((k * 37) % 180), 255, 255));
    cv::Mat colour;
    cv::cvtColor(hsv, colour, cv::COLOR_HSV2BGR);
    const cv::Vec3b c = colour.at<cv::Vec3b>(0, 0);
    return cv::Scalar(c[0], c[1], c[2]);
}

// The region's outline, shifted by `offset`, unless it is too large for the
// drawing functions' integer coordinates.
void draw_ellipse(cv::Mat& canvas, const Region& region, cv::Point2d offset, const cv::Scalar& colour,
                  int thickness)
{
    const EllipseAxes e = axes(region);
    const double limit = 4.0 * std::max(canvas.cols, canvas.rows);
    if (!(e.major < limit && std::abs(region.x) < limit && std::abs(region.y) < limit)) return;
    cv::RotatedRect rect = to_rotated_rect(region);
    rect.center += cv::Point2f(static_cast<float>(offset.x), static_cast<float>(offset.y));
    cv::ellipse(canvas, rect, colour, thickness, cv::LINE_AA);
}

// Green for no error, through yellow, to red at `scale` and beyond.
cv::Scalar error_colour(double error, double scale)
{
    const double t = std::isfinite(error) ? std::clamp(error / scale, 0.0, 1.0) : 1.0;
    return cv::Scalar(0, 255 * std::min(1.0, 2 * (1 - t)), 255 * std::min(1.0, 2 * t));
}

// The inliers drawn: all, or `limit` of them spread evenly.
std::vector<std::size_t> drawn_inliers(const MatchResult& result, std::size_t count, std::size_t limit)
{
    std::vector<std::size_t> inliers;
    for (std::size_t k = 0; k < count; ++k)
        if (result.inliers[k]) inliers.push_back(k);
    if (limit == 0 || inliers.size() <= limit) return inliers;
    std::vector<std::size_t> chosen(limit);
    for (std::size_t i = 0; i < limit; ++i) chosen[i] = inliers[i * inliers.size() / limit];
    return chosen;
}

void draw_line(cv::Mat& canvas, const Region& r1, const Region& r2, double offset, const cv::Scalar& colour,
               int thickness)
{
    const double limit = 4.0 * std::max(canvas.cols, canvas.rows);
    if (!(std::abs(r1.x) < limit && std::abs(r1.y) < limit && std::abs(r2.x) < limit && std::abs(r2.y) < limit))
        return;
    // Sub-pixel positions: 4 fractional bits.
    const auto point = [](double x, double y) {
        return cv::Point(static_cast<int>(std::lround(x * 16)), static_cast<int>(std::lround(y * 16)));
    };
    cv::line(canvas, point(r1.x, r1.y), point(r2.x + offset, r2.y), colour, thickness, cv::LINE_AA, 4);
}

}  // namespace

cv::Mat draw_matches(const cv::Mat& image1, const cv::Mat& image2, const MatchResult& result,
                     const MatchDrawing& drawing)
{
    if (!(drawing.error_scale > 0 && std::isfinite(drawing.error_scale)))
        throw std::invalid_argument("draw_matches: error_scale must be a positive finite number");
    const cv::Mat left = bgr(image1), right = bgr(image2);
    return detail::translate_out_of_memory([&] {
        cv::Mat canvas(std::max(left.rows, right.rows), left.cols + right.cols, CV_8UC3, cv::Scalar::all(0));
        left.copyTo(canvas(cv::Rect(0, 0, left.cols, left.rows)));
        right.copyTo(canvas(cv::Rect(left.cols, 0, right.cols, right.rows)));
        const double offset = left.cols;
        // Lines and outlines grow with the picture so that they stay visible
        // when it is viewed whole.
        const int thickness = std::max(1, static_cast<int>(std::lround(std::max(canvas.cols, canvas.rows) / 1200.0)));
        const std::size_t count = std::min({result.regions1.size(), result.regions2.size(), result.inliers.size()});
        if (drawing.outliers) {
            const cv::Scalar red(40, 40, 220);
            for (std::size_t k = 0; k < count; ++k) {
                if (result.inliers[k]) continue;
                draw_line(canvas, result.regions1[k], result.regions2[k], offset, red, 1);
                draw_ellipse(canvas, result.regions1[k], {0, 0}, red, 1);
                draw_ellipse(canvas, result.regions2[k], {offset, 0}, red, 1);
            }
        }
        const std::vector<std::size_t> inliers = drawn_inliers(result, count, drawing.inliers);
        for (std::size_t i = 0; i < inliers.size(); ++i) {
            const std::size_t k = inliers[i];
            const cv::Scalar colour = drawing.colour_by_error && k < result.errors.size()
                                          ? error_colour(result.errors[k], drawing.error_scale)
                                          : match_colour(i);
            draw_ellipse(canvas, result.regions1[k], {0, 0}, colour, thickness + 1);
            draw_ellipse(canvas, result.regions2[k], {offset, 0}, colour, thickness + 1);
            draw_line(canvas, result.regions1[k], result.regions2[k], offset, colour, thickness);
        }
        return canvas;
    });
}

cv::Mat draw_matches(const cv::Mat& image1, const cv::Mat& image2, const MatchResult& result, bool with_outliers)
{
    MatchDrawing drawing;
    drawing.outliers = with_outliers;
    return draw_matches(image1, image2, result, drawing);
}

}  // namespace orvo
