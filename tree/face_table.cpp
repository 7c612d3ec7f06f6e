// The face table of the alpha shape and its neighbour query.
#include "tree/face_table.h"

#include <cassert>

namespace {

double triangle_area(const Face_handle& f)
{
    const Point_2& p0 = f->vertex(0)->point().point();
    const Point_2& p1 = f->vertex(1)->point().point();
    const Point_2& p2 = f->vertex(2)->point().point();
    return 0.5 * ((p1.x() - p0.x()) * (p2.y() - p0.y()) - (p1.y() - p0.y()) * (p2.x() - p0.x()));
}

}  // namespace

long count_face_rows(const Alpha_shape_2& A)
{
    if (A.dimension() < 2) return 0;
    // Each finite face has three edges and each infinite face one finite
    // (hull) edge; every finite edge is so counted twice.
    const long finite_faces = static_cast<long>(A.number_of_faces());
    const long hull_edges = static_cast<long>(A.tds().number_of_faces()) - finite_faces;
    return finite_faces + (3 * finite_faces + hull_edges) / 2;
}

face_table build_face_table(Alpha_shape_2& A)
{
    face_table table;
    table.rows.resize(static_cast<std::size_t>(count_face_rows(A)));
    if (table.rows.empty()) return table;

    number_faces_and_vertices(A);
    table.rows_of_face.assign(A.tds().number_of_faces(), {NO_ROW, NO_ROW, NO_ROW, NO_ROW});
    int r = 0;
    for (Face_handle f : A.finite_face_handles()) {
        table.rows[r] = {f, -1, f->info().alpha, triangle_area(f)};
        table.rows_of_face[f->info().order][0] = r;
        ++r;
    }
    for_each_finite_edge(A, [&](const Face_handle& g, int j) {
        const edge_interval& interval = g->info().interval[j];
        const double alpha = interval.first >= 0 ? interval.first : interval.second;
        table.rows[r] = {g, j, alpha, 0.0};
        table.rows_of_face[g->info().order][j + 1] = r;
        const Face_handle n = g->neighbor(j);
        if (!A.is_infinite(n)) table.rows_of_face[n->info().order][n->index(g) + 1] = r;
        ++r;
    });
    return table;
}

neighbor_rows face_table::neighbours(int row) const
{
    neighbor_rows result;
    const face_row& own = rows[row];
    const std::array<int, 4>& entry = rows_of_face[own.face->info().order];
    if (own.index == -1) {
        for (int i = 1; i <= 3; ++i) result.row[result.count++] = entry[i];
        return result;
    }
    // An edge row names a finite triangle, which has a row of its own.
    assert(entry[0] != NO_ROW);
    result.row[result.count++] = entry[0];
    const int other = rows_of_face[own.face->neighbor(own.index)->info().order][0];
    if (other != NO_ROW) result.row[result.count++] = other;
    return result;
}
