// The regular (weighted Delaunay) triangulation of the weighted edge points.
//
// Every face (the infinite ones too) carries, besides the triangulation's own
// data, only its storage position: the index of its entries in the tables
// of values per face (the alpha values, the face table's rows). Its list of
// hidden vertices takes one pointer until it holds one. Both keep the faces
// small (72 bytes) for the insertion that walks them. Every vertex carries
// its storage position, for tables indexed by vertex.
#pragma once

#include <CGAL/Regular_triangulation_2.h>
#include <CGAL/Regular_triangulation_vertex_base_2.h>
#include <CGAL/Triangulation_data_structure_2.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>
#include <cstddef>
#include <vector>

#include "triangulation/hidden_vertex_list.h"
#include "triangulation/power_test.h"

namespace orvo::detail {

// A face's information: its position in the triangulation's face storage.
struct face_order {
    std::size_t order = 0;
};

// The face of a regular triangulation as the library's own regular face
// base makes it, but with the hidden vertices in a hidden_vertex_list.
template <class Gt, class Fb>
class regular_face_base : public Fb {
public:
    using Geom_traits = Gt;
    using Triangulation_data_structure = typename Fb::Triangulation_data_structure;
    using Vertex_handle = typename Triangulation_data_structure::Vertex_handle;
    using Face_handle = typename Triangulation_data_structure::Face_handle;
    using Vertex_list = hidden_vertex_list<Vertex_handle>;

    template <class TDS2>
    struct Rebind_TDS {
        using Other = regular_face_base<Gt, typename Fb::template Rebind_TDS<TDS2>::Other>;
    };

    using Fb::Fb;

    Vertex_list& vertex_list() { return hidden; }

private:
    Vertex_list hidden;
};

using bare_point = kernel::Point_2;
using weighted_point = kernel::Weighted_point_2;
using vertex_base =
    CGAL::Triangulation_vertex_base_with_info_2<std::size_t, kernel, CGAL::Regular_triangulation_vertex_base_2<kernel>>;
using face_base =
    regular_face_base<kernel, CGAL::Triangulation_face_base_with_info_2<face_order, kernel>>;
using triangulation_data_structure = CGAL::Triangulation_data_structure_2<vertex_base, face_base>;
using regular_triangulation = CGAL::Regular_triangulation_2<triangulation_traits, triangulation_data_structure>;
using face_handle = regular_triangulation::Face_handle;
using face_iterator = regular_triangulation::All_faces_iterator;
using vertex_handle = regular_triangulation::Vertex_handle;

// Sets every face's order to its position in the face storage (the
// infinite faces included).
void number_faces(regular_triangulation& triangulation);

// Sets every vertex's info to its position in the vertex storage (the
// infinite and the hidden ones included: below
// triangulation.tds().number_of_vertices()).
void number_vertices(regular_triangulation& triangulation);

// number_faces and number_vertices.
void number_faces_and_vertices(regular_triangulation& triangulation);

// The faces in storage order (the infinite ones included) cut into at most
// `runs` consecutive runs of about equal length, for threads: run j is
// [cuts[j], cuts[j + 1]), and there is at least one run.
std::vector<face_iterator> cut_faces(regular_triangulation& triangulation, int runs);

// The storage position of cuts[j] when cut_faces cuts `count` faces into
// `made` runs (the size of its result less one).
std::size_t cut_position(std::size_t count, std::size_t made, std::size_t j);

// Whether the finite face f is the first, in storage order, of the finite
// faces of its edge opposite vertex i: the face the edge is visited from
// below. The faces must be numbered.
inline bool is_first_face_of_edge(const regular_triangulation& triangulation, const face_handle& f, int i)
{
    const face_handle n = f->neighbor(i);
    return triangulation.is_infinite(n) || f->info().order < n->info().order;
}

// In two dimensions: calls visit(face, i) for the finite edges whose first
// finite face (see is_first_face_of_edge) lies in the run of faces [begin,
// end), in storage order.
template <class Visit>
void for_each_finite_edge_from(const regular_triangulation& triangulation, face_iterator begin, face_iterator end,
                               Visit visit)
{
    for (auto f = begin; f != end; ++f) {
        if (triangulation.is_infinite(f)) continue;
        for (int i = 0; i < 3; ++i)
            if (is_first_face_of_edge(triangulation, f, i)) visit(face_handle(f), i);
    }
}

// Calls visit(face, i) once for every finite edge, given as the edge opposite
// vertex i of `face`, a finite face. In two dimensions the faces are taken in
// storage order and each edge from the first of its finite faces in that
// order; the library's own edge iteration picks the face by comparing
// addresses, which would make every later step depend on where the faces
// happen to lie in memory. In lower dimensions the library's order is used.
// The faces must be numbered (number_faces) since the triangulation last
// changed.
template <class Visit>
void for_each_finite_edge(regular_triangulation& triangulation, Visit visit)
{
    if (triangulation.dimension() < 2) {
        for (auto e = triangulation.finite_edges_begin(); e != triangulation.finite_edges_end(); ++e)
            visit(e->first, e->second);
        return;
    }
    for_each_finite_edge_from(triangulation, triangulation.all_faces_begin(), triangulation.all_faces_end(), visit);
}

}  // namespace orvo::detail
