// Numbering of the triangulation's faces and vertices by storage position.
#include "triangulation/regular_triangulation.h"

namespace orvo::detail {

void number_faces(regular_triangulation& triangulation)
{
    std::size_t order = 0;
    for (auto f = triangulation.all_faces_begin(); f != triangulation.all_faces_end(); ++f) f->info().order = order++;
}

void number_faces_and_vertices(regular_triangulation& triangulation)
{
    number_faces(triangulation);
    std::size_t number = 0;
    for (auto v = triangulation.tds().vertices_begin(); v != triangulation.tds().vertices_end(); ++v)
        v->info() = number++;
}

}  // namespace orvo::detail
