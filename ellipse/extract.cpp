// Ellipse extraction from a component's triangles.
#include "ellipse/extract.h"

#include "ellipse/fit.h"

void extract_one_ellipse(const std::vector<gen_face>& faces, const std::vector<int>& triangles, double max_area,
                         std::vector<double>& ellipse)
{
    std::vector<double> x, y;
    x.reserve(3 * triangles.size());
    y.reserve(3 * triangles.size());
    for (const int t : triangles) {
        for (int v = 0; v < 3; ++v) {
            const Point_2& p = faces[t].face->vertex(v)->point().point();
            x.push_back(p.x());
            y.push_back(p.y());
        }
    }
    std::vector<double> hull_x, hull_y;
    calc_convex_hulls(x, y, hull_x, hull_y);

    std::vector<double> params;
    double size = 0;
    if (fitEllipseMOMENTS(std::move(hull_x), std::move(hull_y), 4, params, size) == 0 && max_area > size)
        ellipse = params;
}
