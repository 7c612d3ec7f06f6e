// Alpha values of the regular triangulation: each finite triangle's squared
// orthogonal radius, and each finite edge's interval (its own radius unless
// attached, then the smaller and the larger alpha of its faces).
#pragma once

#include "triangulation/regular_triangulation.h"

namespace orvo::detail {

// The squared radius of the circle orthogonal to three weighted points,
// clamped at 0 (a NaN becomes 0); r is taken as the origin.
double face_squared_radius(const weighted_point& p, const weighted_point& q, const weighted_point& r);

// The squared radius of the smallest circle orthogonal to two weighted
// points, clamped at 0.
double edge_squared_radius(const weighted_point& a, const weighted_point& b);

// True when c lies strictly inside the smallest circle orthogonal to the
// edge (o, e), in the power sense. Decided exactly.
bool is_attached(const weighted_point& o, const weighted_point& e, const weighted_point& c);

// For a triangulation of dimension 2: every finite face's alpha, then every
// finite edge's interval, stored in both faces of the edge. Also numbers the
// faces and vertices (number_faces_and_vertices) for the steps that follow.
// Threads share the faces; the values do not depend on their number.
void assign_alpha_values(regular_triangulation& triangulation, int threads = 1);

}  // namespace orvo::detail
