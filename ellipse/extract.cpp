// Ellipse extraction from a component's triangles.
#include "ellipse/extract.h"

#include <algorithm>

#include "ellipse/fit.h"

namespace orvo::detail {

triangle_corners corners_of_triangles(const face_table& table, std::size_t vertex_count, bool exact_hull)
{
    triangle_corners result;
    if (exact_hull)
        result.exact_position.resize(vertex_count);
    else
        result.position.resize(vertex_count);
    for (const face_row& row : table.rows) {
        if (!row.is_triangle()) break;  // the edges follow the triangles
        std::array<int, 3> corners;
        for (int v = 0; v < 3; ++v) {
            const vertex_handle vertex = row.face->vertex(v);
            corners[v] = static_cast<int>(vertex->info());
            const double x = vertex->point().x(), y = vertex->point().y();
            if (exact_hull)
                result.exact_position[vertex->info()] = cv::Point2d(x, y);
            else
                result.position[vertex->info()] = cv::Point(static_cast<int>(x), static_cast<int>(y));
        }
        result.corners.push_back(corners);
    }
    return result;
}

std::optional<Region> extract_ellipse(const triangle_corners& table, const std::vector<int>& triangles,
                                      double max_area, vertex_marks& marks)
{
    // Triangles share their vertices: each vertex is taken once (its first
    // occurrence), which leaves the hull, and so the ellipse, unchanged.
    marks.next();
    std::vector<cv::Point> points;
    points.reserve(triangles.size() + 3);
    for (const int t : triangles)
        for (const int vertex : table.corners[t])
            if (marks.take(vertex)) points.push_back(table.position[vertex]);
    const moment_fit fit = fit_ellipse_by_moments(digitised_hull_boundary(std::move(points)), COVARIANCE_SCALE);
    if (fit.ellipse && max_area > fit.twice_area) return fit.ellipse;
    return std::nullopt;
}

std::optional<Region> exact_hull_ellipse(const std::vector<cv::Point2d>& hull, double max_area)
{
    // Fitted from the first vertex: products of coordinates far from the
    // origin would lose the area of a thin hull to rounding. (Pixel
    // positions multiply exactly and are fitted as they are.)
    if (hull.empty()) return std::nullopt;
    const cv::Point2d origin = hull[0];
    std::vector<cv::Point2d> moved(hull);
    for (cv::Point2d& p : moved) p -= origin;
    const moment_fit fit = fit_ellipse_by_moments(moved, COVARIANCE_SCALE);
    if (!fit.ellipse || !(max_area > fit.twice_area)) return std::nullopt;
    Region r = *fit.ellipse;
    r.x += origin.x;
    r.y += origin.y;
    return r;
}

std::optional<Region> widened_ellipse(const std::vector<cv::Point2d>& hull, const edge_pixel_map& edges,
                                      double max_area)
{
    return exact_hull_ellipse(hull_with_edge_pixels(hull, edges), max_area);
}

}  // namespace orvo::detail
