// The face table of the triangulation and its neighbour query.
#include "tree/face_table.h"

namespace orvo::detail {
namespace {

double triangle_area(const face_handle& f)
{
    const bare_point& p0 = f->vertex(0)->point().point();
    const bare_point& p1 = f->vertex(1)->point().point();
    const bare_point& p2 = f->vertex(2)->point().point();
    return 0.5 * ((p1.x() - p0.x()) * (p2.y() - p0.y()) - (p1.y() - p0.y()) * (p2.x() - p0.x()));
}

}  // namespace

long count_face_rows(const regular_triangulation& triangulation)
{
    if (triangulation.dimension() < 2) return 0;
    // Each finite face has three edges and each infinite face one finite
    // (hull) edge; every finite edge is so counted twice.
    const long finite_faces = static_cast<long>(triangulation.number_of_faces());
    const long hull_edges = static_cast<long>(triangulation.tds().number_of_faces()) - finite_faces;
    return finite_faces + (3 * finite_faces + hull_edges) / 2;
}

face_table build_face_table(regular_triangulation& triangulation)
{
    face_table table;
    table.rows.resize(static_cast<std::size_t>(count_face_rows(triangulation)));
    if (table.rows.empty()) return table;
    table.adjacent.resize(table.rows.size());

    table.rows_of_face.assign(triangulation.tds().number_of_faces(), {NO_ROW, NO_ROW, NO_ROW, NO_ROW});
    int r = 0;
    for (face_handle f : triangulation.finite_face_handles()) {
        table.rows[r] = {f, TRIANGLE_ROW, f->info().alpha, triangle_area(f)};
        table.rows_of_face[f->info().order][0] = r;
        table.adjacent[r].count = 3;  // every edge of a finite triangle is finite
        ++r;
    }
    for_each_finite_edge(triangulation, [&](const face_handle& g, int j) {
        table.rows[r] = {g, j, g->info().interval[j].entry(), 0.0};
        std::array<int, 4>& own = table.rows_of_face[g->info().order];
        own[j + 1] = r;
        table.adjacent[own[0]].row[j] = r;
        adjacent_rows& around = table.adjacent[r];
        around.row[around.count++] = own[0];
        const face_handle n = g->neighbor(j);
        if (!triangulation.is_infinite(n)) {
            std::array<int, 4>& other = table.rows_of_face[n->info().order];
            const int ni = n->index(g);
            other[ni + 1] = r;
            table.adjacent[other[0]].row[ni] = r;
            around.row[around.count++] = other[0];
        }
        ++r;
    });
    return table;
}

}  // namespace orvo::detail
