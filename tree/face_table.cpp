// The face table of the alpha shape and its neighbour query.
#include "tree/face_table.h"


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
    table.adjacent.resize(table.rows.size());

    table.rows_of_face.assign(A.tds().number_of_faces(), {NO_ROW, NO_ROW, NO_ROW, NO_ROW});
    int r = 0;
    for (Face_handle f : A.finite_face_handles()) {
        table.rows[r] = {f, -1, f->info().alpha, triangle_area(f)};
        table.rows_of_face[f->info().order][0] = r;
        table.adjacent[r].count = 3;  // every edge of a finite triangle is finite
        ++r;
    }
    for_each_finite_edge(A, [&](const Face_handle& g, int j) {
        const edge_interval& interval = g->info().interval[j];
        const double alpha = interval.first >= 0 ? interval.first : interval.second;
        table.rows[r] = {g, j, alpha, 0.0};
        std::array<int, 4>& own = table.rows_of_face[g->info().order];
        own[j + 1] = r;
        table.adjacent[own[0]].row[j] = r;
        neighbor_rows& around = table.adjacent[r];
        around.row[around.count++] = own[0];
        const Face_handle n = g->neighbor(j);
        if (!A.is_infinite(n)) {
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
