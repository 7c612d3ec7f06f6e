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
    const int cols = edges.index.cols, rows = edges.index.rows;
    const auto take = [&](int x, int y, const auto& near_edge) {
        if (x < 0 || y < 0 || x >= cols || y >= rows) return;
        const int k = edges.index.at<int>(y, x);
        if (k != 0 && near_edge(edges.position[k - 1])) taken.push_back(k);
    };
    // Each hull edge is walked a pixel at a time along its major axis, from
    // a margin before its start to a margin past its end; at each step the
    // pixels across it that may lie within the margin are looked at, and
    // taken when their position is within the margin of that edge.
    for (std::size_t i = 0; i < h; ++i) {
        const cv::Point2d a = hull[i], d = hull[(i + 1) % h] - a;
        const double squared_length = d.dot(d);
        const auto near_edge = [&](const cv::Point2d& p) {
            const double t = squared_length > 0 ? std::clamp((p - a).dot(d) / squared_length, 0.0, 1.0) : 0.0;
            const cv::Point2d off = p - (a + d * t);
            return off.dot(off) <= EDGE_HULL_MARGIN * EDGE_HULL_MARGIN;
        };
        const bool along_x = std::abs(d.x) >= std::abs(d.y);
        const double major = along_x ? d.x : d.y, minor = along_x ? d.y : d.x;
        const double start = along_x ? a.x : a.y, across_start = along_x ? a.y : a.x;
        const double slope = major != 0 ? minor / major : 0;
        // Across the major axis a point within the margin of the line lies
        // within margin * sqrt(1 + slope^2) of it, at most margin * sqrt(2);
        // a pixel lies within a pixel of its position, and one more covers
        // the rounding.
        const int reach = static_cast<int>(std::ceil(EDGE_HULL_MARGIN * std::sqrt(1 + slope * slope))) + 2;
        const double low = std::min(start, start + major) - EDGE_HULL_MARGIN - 1;
        const double high = std::max(start, start + major) + EDGE_HULL_MARGIN + 1;
        for (int u = static_cast<int>(std::floor(low)); u <= static_cast<int>(std::ceil(high)); ++u) {
            const double t = std::clamp(u - start, std::min(0.0, major), std::max(0.0, major));
            const int v = static_cast<int>(std::lround(across_start + slope * t));
            for (int w = v - reach; w <= v + reach; ++w) {
                if (along_x)
                    take(u, w, near_edge);
                else
                    take(w, u, near_edge);
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
