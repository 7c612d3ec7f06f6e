// Sub-pixel edge positions from the gradient magnitude around an edge pixel.
#include "edges/subpixel.h"

#include <algorithm>

namespace orvo::detail {
namespace {

// The offset in [-1, 1] of the vertex of the parabola through (-1,
// before), (0, centre), (1, after), or 0 when centre is not above both
// sides' mean (no peak).
double parabola_peak(double before, double centre, double after)
{
    const double curvature = before - 2 * centre + after;
    if (!(curvature < 0)) return 0;
    return std::clamp(0.5 * (before - after) / curvature, -1.0, 1.0);
}

}  // namespace

cv::Point2d subpixel_edge_position(const cv::Mat& gradient, cv::Point pixel)
{
    const int x = pixel.x, y = pixel.y;
    if (x < 1 || y < 1 || x + 1 >= gradient.cols || y + 1 >= gradient.rows) return {double(x), double(y)};
    const float* above = gradient.ptr<float>(y - 1);
    const float* row = gradient.ptr<float>(y);
    const float* below = gradient.ptr<float>(y + 1);
    const double centre = row[x];
    // Across the edge the magnitude falls off steeply, along it hardly: the
    // line with the stronger curvature is the one the edge crosses.
    const double across_row = row[x - 1] - 2 * centre + row[x + 1];
    const double across_column = above[x] - 2 * centre + below[x];
    if (across_row <= across_column) return {x + parabola_peak(row[x - 1], centre, row[x + 1]), double(y)};
    return {double(x), y + parabola_peak(above[x], centre, below[x])};
}

std::vector<cv::Point2d> subpixel_edge_positions(const cv::Mat& gradient, const std::vector<cv::Point>& pixels)
{
    std::vector<cv::Point2d> positions;
    positions.reserve(pixels.size());
    for (const cv::Point& p : pixels) positions.push_back(subpixel_edge_position(gradient, p));
    return positions;
}

}  // namespace orvo::detail
