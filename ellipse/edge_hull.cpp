// Widening a component's hull to the edge pixels along its boundary.
#include "ellipse/edge_hull.h"

#include <algorithm>
#include <cmath>

#include "ellipse/fit.h"

namespace orvo::detail {

edge_pixel_map map_edge_pixels(cv::Size size, const std::vector<cv::Point>& pixels,
                               const std::vector<cv::Point2d>& positions)
{
    edge_pixel_map map;
    map.index = cv::Mat::zeros(size, CV_32SC1);
    map.position = positions;
    for (std::size_t k = 0; k < pixels.size(); ++k) map.index.at<int>(pixels[k]) = static_cast<int>(k + 1);
    return map;
}

std::vector<cv::Point2d> hull_with_edge_pixels(const std::vector<cv::Point2d>& hull, const edge_pixel_map& edges)
{
    const std::size_t h = hull.size();
    if (h < 3) return hull;
    std::vector<int> taken;  // 1 + the pixels' numbers
    const int reach = static_cast<int>(std::ceil(EDGE_HULL_MARGIN)) + 1;
    const int cols = edges.index.cols, rows = edges.index.rows;
    // The pixels within reach of the boundary, walked a pixel at a time along
    // each hull edge, taken when within the margin of that edge (each once).
    for (std::size_t i = 0; i < h; ++i) {
        const cv::Point2d a = hull[i], d = hull[(i + 1) % h] - a;
        const double squared_length = d.dot(d);
        const auto near_edge = [&](const cv::Point2d& p) {
            const double t = squared_length > 0 ? std::clamp((p - a).dot(d) / squared_length, 0.0, 1.0) : 0.0;
            const cv::Point2d off = p - (a + d * t);
            return off.dot(off) <= EDGE_HULL_MARGIN * EDGE_HULL_MARGIN;
        };
        const int steps = static_cast<int>(std::ceil(std::max(std::abs(d.x), std::abs(d.y))));
        for (int s = 0; s <= steps; ++s) {
            const cv::Point2d c = steps > 0 ? a + d * (static_cast<double>(s) / steps) : a;
            const int cx = static_cast<int>(std::lround(c.x)), cy = static_cast<int>(std::lround(c.y));
            for (int y = std::max(0, cy - reach); y <= std::min(rows - 1, cy + reach); ++y) {
                const int* row = edges.index.ptr<int>(y);
                for (int x = std::max(0, cx - reach); x <= std::min(cols - 1, cx + reach); ++x) {
                    if (row[x] != 0 && near_edge(edges.position[row[x] - 1])) taken.push_back(row[x]);
                }
            }
        }
    }
    std::sort(taken.begin(), taken.end());
    taken.erase(std::unique(taken.begin(), taken.end()), taken.end());
    std::vector<cv::Point2d> points = hull;
    for (const int k : taken) points.push_back(edges.position[k - 1]);
    return convex_hull_polygon(std::move(points));
}

}  // namespace orvo::detail
