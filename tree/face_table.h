// The face table: one flat row per finite triangle and per finite edge of the
// finished alpha shape, with its alpha value and area, and the neighbour
// query that joins triangles to their edges and edges to their triangles.
//
// Rows: all finite triangles first (the triangulation's finite-face order),
// then all finite edges (in the order of for_each_finite_edge). The inverse
// map, from a triangle to the rows of itself and of its edges opposite
// vertices 0, 1, 2, is kept in each face's `face_alpha::rows`.
#pragma once

#include <cstdint>
#include <vector>

#include "edges/alpha_shape.h"

// The rows adjacent to one row: a triangle's three edges, or an edge's one
// or two triangles (its own triangle first).
struct neighbor_rows {
    std::uint64_t row[3];
    int count = 0;
};

struct gen_face {
    Face_handle face;  // the triangle; for an edge, a finite triangle holding it
    int index;         // -1 for a triangle; for an edge, the vertex of `face` it is opposite to
    double alpha;      // a triangle's alpha; an edge's first interval value if >= 0, else its second
    double area;       // a triangle's area; 0 for an edge

    neighbor_rows get_neighbors_ind() const;
};

// The number of rows: finite triangles plus finite edges, or 0 when the
// triangulation is not two-dimensional (it then has no alpha values).
long cgal_all_faces_num(const Alpha_shape_2& A);

// Fills `faces` (previous contents discarded) and the faces' inverse-map
// entries.
void faces_map(const Alpha_shape_2& A, std::vector<gen_face>& faces);
