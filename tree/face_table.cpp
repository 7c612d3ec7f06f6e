// The face table of the alpha shape and its neighbour query.
#include "tree/face_table.h"

#include <iostream>

namespace {

bool has_entry(const Face_handle& f)
{
    return f->info().rows[0] != NO_ROW;
}

double triangle_area(const Face_handle& f)
{
    const Point_2& p0 = f->vertex(0)->point().point();
    const Point_2& p1 = f->vertex(1)->point().point();
    const Point_2& p2 = f->vertex(2)->point().point();
    return 0.5 * ((p1.x() - p0.x()) * (p2.y() - p0.y()) - (p1.y() - p0.y()) * (p2.x() - p0.x()));
}

}  // namespace

long cgal_all_faces_num(const Alpha_shape_2& A)
{
    if (A.dimension() < 2) return 0;
    return static_cast<long>(A.number_of_faces()) + static_cast<long>(std::distance(A.finite_edges_begin(), A.finite_edges_end()));
}

void faces_map(const Alpha_shape_2& A, std::vector<gen_face>& faces)
{
    faces.clear();
    faces.resize(static_cast<std::size_t>(cgal_all_faces_num(A)));
    if (faces.empty()) return;

    for (auto f = A.all_faces_begin(); f != A.all_faces_end(); ++f)
        for (std::uint64_t& row : f->info().rows) row = NO_ROW;

    std::uint64_t r = 0;
    for (Face_handle f : A.finite_face_handles()) {
        faces[r] = {f, -1, f->info().alpha, triangle_area(f)};
        f->info().rows[0] = r;
        ++r;
    }
    for_each_finite_edge(A, [&](const Face_handle& g, int j) {
        const edge_interval& interval = g->info().interval[j];
        const double alpha = interval.first >= 0 ? interval.first : interval.second;
        faces[r] = {g, j, alpha, 0.0};
        g->info().rows[j + 1] = r;
        const Face_handle n = g->neighbor(j);
        if (!A.is_infinite(n)) n->info().rows[n->index(g) + 1] = r;
        ++r;
    });
}

neighbor_rows gen_face::get_neighbors_ind() const
{
    neighbor_rows result;
    const std::uint64_t* own = face->info().rows;
    if (index == -1) {
        if (has_entry(face))
            for (int i = 1; i <= 3; ++i) result.row[result.count++] = own[i];
        return result;
    }
    const Face_handle n = face->neighbor(index);
    if (has_entry(face))
        result.row[result.count++] = own[0];
    else
        std::cout << "WHAT??? DID NOT FIND A TRIANGLE!!!" << std::endl;
    if (has_entry(n)) result.row[result.count++] = n->info().rows[0];
    return result;
}
