// The face table: one flat row per finite triangle and per finite edge of the
// triangulation, with its alpha value and area, and the neighbour query that
// joins triangles to their edges and edges to their triangles.
//
// Rows: all finite triangles first (the triangulation's finite-face order),
// then all finite edges (in the order of for_each_finite_edge). The inverse
// map, from a face to the rows of itself and of its edges opposite vertices
// 0, 1, 2, is kept by the table, indexed by the face's storage position.
#pragma once

#include <array>
#include <vector>

#include "parallel/table_memory.h"
#include "triangulation/alpha_values.h"

namespace orvo::detail {

// No row of the face table names this triangle (or edge).
constexpr int NO_ROW = -1;

// The rows adjacent to one row: a triangle's three edges, or an edge's one
// or two triangles (its own triangle first).
struct adjacent_rows {
    int row[3];
    int count = 0;
};

// The `opposite` of a triangle's row.
constexpr int TRIANGLE_ROW = -1;

struct face_row {
    face_handle face;  // the triangle; for an edge, a finite triangle holding it
    int opposite;      // TRIANGLE_ROW; for an edge, the vertex of `face` it is opposite to
    double alpha;      // a triangle's alpha; an edge's entry alpha (edge_interval::entry)
    double area;       // a triangle's area; 0 for an edge

    bool is_triangle() const { return opposite == TRIANGLE_ROW; }
};

using face_rows = std::vector<face_row, uninitialised_allocator<face_row>>;

struct face_table {
    face_rows rows;
    // For the face at storage position p (its order): the row of the
    // triangle, then those of its edges opposite vertices 0, 1, 2; NO_ROW
    // throughout for an infinite face.
    std::vector<std::array<int, 4>, uninitialised_allocator<std::array<int, 4>>> rows_of_face;
    // The rows adjacent to each row: a triangle's edges opposite its vertices
    // 0, 1, 2; an edge's own triangle, then the other one when it is finite.
    std::vector<adjacent_rows> adjacent;

    const adjacent_rows& neighbours(int row) const { return adjacent[row]; }
};

// The number of rows: finite triangles plus finite edges, or 0 when the
// triangulation is not two-dimensional (it then has no alpha values).
long count_face_rows(const regular_triangulation& triangulation);

// The table of a triangulation and of the alpha values assign_alpha_values
// gave it, which also numbered its faces and vertices (the faces' order and
// the vertices' info: the table's inverse map and the extraction read
// them). Threads share the faces; the table does not depend on their number.
face_table build_face_table(regular_triangulation& triangulation, const face_alphas& alphas, int threads = 1);

}  // namespace orvo::detail
