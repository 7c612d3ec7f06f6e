// The weighted alpha shape: a regular (weighted Delaunay) triangulation of
// the weighted edge points whose faces carry the alpha values at which each
// triangle and each edge enters the shape.
//
// Every face (the infinite ones too) carries, besides the triangulation's own
// data, a `face_alpha` record: its storage position, the triangle's alpha
// and the interval of each of its three edges. Every vertex carries its
// storage position, for tables indexed by vertex.
#pragma once

#include <CGAL/Regular_triangulation_2.h>
#include <CGAL/Regular_triangulation_face_base_2.h>
#include <CGAL/Regular_triangulation_vertex_base_2.h>
#include <CGAL/Triangulation_data_structure_2.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>
#include <cstdint>
#include <vector>

#include "edges/power_test.h"

// Sentinels of an edge interval; real alpha values are never negative.
constexpr double UNDEFINED = -2.0;
constexpr double Infinity = -1.0;

struct edge_interval {
    double first = UNDEFINED;   // the edge's own radius, or UNDEFINED when attached
    double second = UNDEFINED;  // the smaller alpha of its finite faces
    double third = UNDEFINED;   // the larger one, or Infinity on the convex hull
};

struct face_alpha {
    std::size_t order = 0;         // position in the triangulation's face storage, for edge traversal
    double alpha = 0.0;            // squared radius of the orthogonal circle, clamped at 0
    edge_interval interval[3];     // edge i is opposite vertex i
};

using Point_2 = K::Point_2;
using Weighted_point = K::Weighted_point_2;
using Vertex_base = CGAL::Triangulation_vertex_base_with_info_2<std::size_t, K, CGAL::Regular_triangulation_vertex_base_2<K>>;
using Face_base = CGAL::Regular_triangulation_face_base_2<K, CGAL::Triangulation_face_base_with_info_2<face_alpha, K>>;
using Tds = CGAL::Triangulation_data_structure_2<Vertex_base, Face_base>;
using Alpha_shape_2 = CGAL::Regular_triangulation_2<Triangulation_traits, Tds>;
using Face_handle = Alpha_shape_2::Face_handle;

// Sets every face's face_alpha::order to its position in the face storage
// (the infinite faces included).
void number_faces(Alpha_shape_2& A);

// number_faces, and every vertex's info to its position in the vertex
// storage (the infinite and the hidden ones included: below
// A.tds().number_of_vertices()).
void number_faces_and_vertices(Alpha_shape_2& A);

// Calls visit(face, i) once for every finite edge, given as the edge opposite
// vertex i of `face`, a finite face. In two dimensions the faces are taken in
// storage order and each edge from the first of its finite faces in that
// order; the library's own edge iteration picks the face by comparing
// addresses, which would make every later step depend on where the faces
// happen to lie in memory. In lower dimensions the library's order is used.
// The faces must be numbered (number_faces) since the triangulation last
// changed.
template <class Visit>
void for_each_finite_edge(Alpha_shape_2& A, Visit visit)
{
    if (A.dimension() < 2) {
        for (auto e = A.finite_edges_begin(); e != A.finite_edges_end(); ++e) visit(e->first, e->second);
        return;
    }
    for (Face_handle f : A.finite_face_handles()) {
        for (int i = 0; i < 3; ++i) {
            const Face_handle n = f->neighbor(i);
            if (A.is_infinite(n) || f->info().order < n->info().order) visit(f, i);
        }
    }
}

// Clears `points` and fills it with the midpoint of every finite edge whose
// length (bare coordinates, weights ignored) is at least step / 1.5, in the
// order of for_each_finite_edge.
void get_intermediate_edge_points(Alpha_shape_2& A, std::vector<Point_2>& points, double step);

// The squared radius of the circle orthogonal to three weighted points,
// clamped at 0 (a NaN becomes 0); r is taken as the origin.
double face_squared_radius(const Weighted_point& p, const Weighted_point& q, const Weighted_point& r);

// The squared radius of the smallest circle orthogonal to two weighted
// points, clamped at 0.
double edge_squared_radius(const Weighted_point& a, const Weighted_point& b);

// True when c lies strictly inside the smallest circle orthogonal to the
// edge (o, e), in the power sense. Decided exactly.
bool is_attached(const Weighted_point& o, const Weighted_point& e, const Weighted_point& c);

// Finishing steps, for a triangulation of dimension 2: every finite face's
// alpha, then every finite edge's interval, stored in both faces of the edge;
// the second also numbers the faces and vertices (number_faces_and_vertices)
// for the steps that follow.
void initialize_interval_face_map(Alpha_shape_2& A);
void initialize_interval_edge_map(Alpha_shape_2& A);
