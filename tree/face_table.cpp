// The face table of the triangulation and its neighbour query.
#include "tree/face_table.h"

#include <numeric>

#include "parallel/jobs.h"
#include "triangulation/fetch_ahead.h"

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

face_table build_face_table(regular_triangulation& triangulation, const face_alphas& alphas, int threads)
{
    face_table table;
    table.rows.resize(static_cast<std::size_t>(count_face_rows(triangulation)));
    if (table.rows.empty()) return table;
    table.adjacent.resize(table.rows.size());
    table.rows_of_face.resize(triangulation.tds().number_of_faces());

    // Each thread takes a run of the faces in storage order and numbers its
    // rows as one pass would, from the counts of the runs before it (the
    // last run's are not needed): first all triangles, then all edges, which
    // name both their triangles' rows.
    const std::vector<face_iterator> cuts = cut_faces(triangulation, threads);
    const int runs = static_cast<int>(cuts.size()) - 1;
    std::vector<int> first_triangle(runs, 0), first_edge(runs, 0);
    if (runs > 1) {
        run_jobs(runs - 1, [&](int j) {
            for (auto f = cuts[j]; f != cuts[j + 1]; ++f) {
                if (triangulation.is_infinite(f)) continue;
                ++first_triangle[j + 1];
                for (int i = 0; i < 3; ++i) first_edge[j + 1] += is_first_face_of_edge(triangulation, f, i);
            }
        });
    }
    std::partial_sum(first_triangle.begin(), first_triangle.end(), first_triangle.begin());
    first_edge[0] = static_cast<int>(triangulation.number_of_faces());  // the triangles' rows come first
    std::partial_sum(first_edge.begin(), first_edge.end(), first_edge.begin());

    // The walks ask ahead for the vertices (for the areas), and for the
    // neighbours, then once these have arrived, for their slots of the map
    // from faces to rows.
    run_jobs(runs, [&](int j) {
        int r = first_triangle[j];
        walk_fetching_ahead(cuts[j], cuts[j + 1], fetch_vertices, [&](const face_iterator& f) {
            // The edges' rows are filled in below; an infinite face has none.
            std::array<int, 4>& own = table.rows_of_face[f->info().order];
            own = {NO_ROW, NO_ROW, NO_ROW, NO_ROW};
            if (triangulation.is_infinite(f)) return;
            table.rows[r] = {f, TRIANGLE_ROW, alphas[f->info().order].alpha, triangle_area(f)};
            own[0] = r;
            table.adjacent[r].count = 3;  // every edge of a finite triangle is finite
            ++r;
        });
    });
    const auto fetch_rows_of_neighbours = [&](const face_iterator& g) {
        for (int k = 0; k < 3; ++k) fetch(table.rows_of_face[g->neighbor(k)->info().order]);
    };
    run_jobs(runs, [&](int j) {
        int r = first_edge[j];
        const auto add_edges = [&](const face_iterator& g) {
            if (triangulation.is_infinite(g)) return;
            for (int k = 0; k < 3; ++k) {
                if (!is_first_face_of_edge(triangulation, g, k)) continue;
                table.rows[r] = {g, k, alphas[g->info().order].entry[k], 0.0};
                std::array<int, 4>& own = table.rows_of_face[g->info().order];
                own[k + 1] = r;
                adjacent_rows& around = table.adjacent[r];
                around.row[around.count++] = own[0];
                const face_handle n = g->neighbor(k);
                if (!triangulation.is_infinite(n)) {
                    std::array<int, 4>& other = table.rows_of_face[n->info().order];
                    const int nk = n->index(g);
                    other[nk + 1] = r;
                    around.row[around.count++] = other[0];
                }
                ++r;
            }
        };
        walk_fetching_ahead(cuts[j], cuts[j + 1], fetch_neighbours, fetch_rows_of_neighbours, add_edges);
    });
    // A triangle's edges, copied in face order from the map now whole: the
    // walk above writes only the map's slot of the edge's other face, not
    // that face's row of the table too.
    run_in_shares(table.rows_of_face.size(), runs, [&](std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p < end; ++p) {
            const std::array<int, 4>& own = table.rows_of_face[p];
            if (own[0] == NO_ROW) continue;
            for (int k = 0; k < 3; ++k) table.adjacent[own[0]].row[k] = own[k + 1];
        }
    });
    return table;
}

}  // namespace orvo::detail
