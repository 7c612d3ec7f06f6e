// Alpha values of the regular triangulation: each finite triangle's squared
// orthogonal radius, and each finite edge's interval (its own radius unless
// attached, then the smaller and the larger alpha of its faces), of which
// the table keeps the alpha at which the edge enters the shape.
#pragma once

#include <limits>
#include <vector>

#include "parallel/table_memory.h"
#include "triangulation/regular_triangulation.h"

namespace orvo::detail {

// An edge's own alpha when one of the vertices facing it lies inside its
// smallest orthogonal circle: it then enters the shape only with a face.
// Real alpha values are never negative.
constexpr double ATTACHED = -2.0;

// The alpha values at which an edge enters the shape.
struct edge_interval {
    double own = ATTACHED;  // the squared radius of its smallest orthogonal circle, or ATTACHED
    double lower = 0.0;     // the smaller alpha of its finite faces
    double upper = 0.0;     // the larger one, infinity on the convex hull

    bool attached() const { return own < 0; }
    // The alpha at which the edge enters the shape: alone, or with its first face.
    double entry() const { return attached() ? lower : own; }
};

constexpr double HULL_UPPER_ALPHA = std::numeric_limits<double>::infinity();

// No entry: the face is not the first of the edge's faces.
constexpr double NO_ENTRY = std::numeric_limits<double>::quiet_NaN();

// The alpha values of one face: its own (0 for an infinite face), and, for
// each edge it is the first finite face of (is_first_face_of_edge), the
// alpha at which the edge enters the shape (edge_interval::entry). Each
// edge's entry is kept once, with its first face, where the walks in storage
// order that read it find it: 32 bytes a face.
struct face_alpha {
    double alpha = 0.0;  // squared radius of the orthogonal circle, clamped at 0
    double entry[3] = {NO_ENTRY, NO_ENTRY, NO_ENTRY};  // edge i is opposite vertex i
};

// The alpha values of every face (the infinite ones included), indexed by
// the face's storage position (its order).
using face_alphas = std::vector<face_alpha, uninitialised_allocator<face_alpha>>;

// The squared radius of the circle orthogonal to three weighted points,
// clamped at 0 (a NaN becomes 0); r is taken as the origin.
double face_squared_radius(const weighted_point& p, const weighted_point& q, const weighted_point& r);

// The squared radius of the smallest circle orthogonal to two weighted
// points, clamped at 0.
double edge_squared_radius(const weighted_point& a, const weighted_point& b);

// True when c lies strictly inside the smallest circle orthogonal to the
// edge (o, e), in the power sense. Decided exactly.
bool is_attached(const weighted_point& o, const weighted_point& e, const weighted_point& c);

// Every finite face's alpha, then every finite edge's entry alpha, stored
// with its first face; none (an empty table) unless the triangulation is
// two-dimensional. Numbers the faces and vertices too (as
// number_faces_and_vertices), which indexes the table and serves the steps
// that follow. Threads share the faces; the values do not depend on their
// number.
face_alphas assign_alpha_values(regular_triangulation& triangulation, int threads = 1);

// The interval of the edge opposite vertex i of the finite face f, from the
// alphas of its faces (either face of the edge gives the same).
edge_interval edge_interval_of(const regular_triangulation& triangulation, const face_alphas& alphas,
                               const face_handle& f, int i);

}  // namespace orvo::detail
