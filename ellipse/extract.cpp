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

namespace {

// fit_ellipse_by_moments of a polygon of exact positions, taken from its
// first vertex: products of coordinates far from the origin would lose the
// area of a thin hull to rounding. (Pixel positions multiply exactly and
// are fitted as they are.)
moment_fit fit_about_first_vertex(std::vector<cv::Point2d> polygon)
{
    if (polygon.empty()) return {};
    const cv::Point2d origin = polygon[0];
    for (cv::Point2d& p : polygon) p -= origin;
    moment_fit fit = fit_ellipse_by_moments(polygon, COVARIANCE_SCALE);
    if (fit.ellipse) fit.ellipse->x += origin.x, fit.ellipse->y += origin.y;
    return fit;
}

}  // namespace

std::optional<hull_fit> fit_hull(const triangle_corners& table, const std::vector<int>& triangles, double max_area,
                                 vertex_marks& marks)
{
    if (++marks.current == 0) {  // the marks wrapped around: start afresh
        std::fill(marks.seen.begin(), marks.seen.end(), 0);
        marks.current = 1;
    }
    // Triangles share their vertices: each vertex is taken once (its first
    // occurrence), which leaves the hull, and so the ellipse, unchanged.
    const bool exact = !table.exact_position.empty();
    std::vector<cv::Point> points;
    std::vector<cv::Point2d> exact_points;
    if (!exact) points.reserve(triangles.size() + 3);
    for (const int t : triangles) {
        for (const int vertex : table.corners[t]) {
            std::uint32_t& seen = marks.seen[vertex];
            if (seen == marks.current) continue;
            seen = marks.current;
            if (exact)
                exact_points.push_back(table.exact_position[vertex]);
            else
                points.push_back(table.position[vertex]);
        }
    }
    std::vector<cv::Point2d> polygon =
        exact ? convex_hull_polygon(std::move(exact_points)) : digitised_hull_boundary(std::move(points));
    const moment_fit fit = exact ? fit_about_first_vertex(polygon) : fit_ellipse_by_moments(polygon, COVARIANCE_SCALE);
    if (!fit.ellipse || !(max_area > fit.twice_area)) return std::nullopt;
    return hull_fit{*fit.ellipse, std::move(polygon)};
}

std::optional<Region> widened_ellipse(const std::vector<cv::Point2d>& hull, const edge_pixel_map& edges,
                                      double max_area)
{
    const moment_fit fit = fit_about_first_vertex(hull_with_edge_pixels(hull, edges));
    if (fit.ellipse && max_area > fit.twice_area) return fit.ellipse;
    return std::nullopt;
}

std::optional<Region> extract_ellipse(const triangle_corners& table, const std::vector<int>& triangles,
                                      double max_area, vertex_marks& marks)
{
    std::optional<hull_fit> fit = fit_hull(table, triangles, max_area, marks);
    if (!fit) return std::nullopt;
    // Widening only adds area: a hull too large already stays too large.
    if (table.edge_pixels) return widened_ellipse(fit->hull, *table.edge_pixels, max_area);
    return fit->ellipse;
}

}  // namespace orvo::detail
