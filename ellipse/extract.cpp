// Ellipse extraction from a component's triangles.
#include "ellipse/extract.h"

#include <algorithm>

#include "ellipse/fit.h"

triangle_corners corners_of_triangles(const face_table& table, std::size_t vertex_count)
{
    triangle_corners result;
    result.position.resize(vertex_count);
    for (const face_row& row : table.rows) {
        if (row.index != -1) break;  // the edges follow the triangles
        std::array<int, 3> corners;
        for (int v = 0; v < 3; ++v) {
            const Alpha_shape_2::Vertex_handle vertex = row.face->vertex(v);
            corners[v] = static_cast<int>(vertex->info());
            result.position[vertex->info()] =
                cv::Point(static_cast<int>(vertex->point().x()), static_cast<int>(vertex->point().y()));
        }
        result.corners.push_back(corners);
    }
    return result;
}

double extract_one_ellipse(const triangle_corners& table, const std::vector<int>& triangles, double max_area,
                           std::vector<double>& ellipse, vertex_marks& marks)
{
    if (++marks.current == 0) {  // the marks wrapped around: start afresh
        std::fill(marks.seen.begin(), marks.seen.end(), 0);
        marks.current = 1;
    }
    // Triangles share their vertices: each vertex is taken once (its first
    // occurrence), which leaves the hull, and so the ellipse, unchanged.
    std::vector<cv::Point> points;
    points.reserve(triangles.size() + 3);
    for (const int t : triangles) {
        for (const int vertex : table.corners[t]) {
            std::uint32_t& seen = marks.seen[vertex];
            if (seen == marks.current) continue;
            seen = marks.current;
            points.push_back(table.position[vertex]);
        }
    }
    std::vector<double> hull_x, hull_y;
    calc_convex_hulls(std::move(points), hull_x, hull_y);

    std::vector<double> params;
    double size = 0;
    if (fitEllipseMOMENTS(std::move(hull_x), std::move(hull_y), 4, params, size) == 0 && max_area > size)
        ellipse = params;
    return size;
}
