// Ellipse extraction from a component's triangles.
#include "ellipse/extract.h"

#include <algorithm>

#include "ellipse/fit.h"

double extract_one_ellipse(const std::vector<face_row>& faces, const std::vector<int>& triangles, double max_area,
                           std::vector<double>& ellipse, vertex_marks& marks)
{
    if (++marks.current == 0) {  // the marks wrapped around: start afresh
        std::fill(marks.seen.begin(), marks.seen.end(), 0);
        marks.current = 1;
    }
    // Triangles share their vertices: each vertex is taken once (its first
    // occurrence), which leaves the hull, and so the ellipse, unchanged.
    std::vector<double> x, y;
    x.reserve(triangles.size() + 2);
    y.reserve(triangles.size() + 2);
    for (const int t : triangles) {
        for (int v = 0; v < 3; ++v) {
            const Alpha_shape_2::Vertex_handle vertex = faces[t].face->vertex(v);
            std::uint32_t& seen = marks.seen[vertex->info()];
            if (seen == marks.current) continue;
            seen = marks.current;
            x.push_back(vertex->point().x());
            y.push_back(vertex->point().y());
        }
    }
    std::vector<double> hull_x, hull_y;
    calc_convex_hulls(x, y, hull_x, hull_y);

    std::vector<double> params;
    double size = 0;
    if (fitEllipseMOMENTS(std::move(hull_x), std::move(hull_y), 4, params, size) == 0 && max_area > size)
        ellipse = params;
    return size;
}
