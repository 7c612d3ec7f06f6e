// Numbering of the triangulation's faces and vertices by storage position,
// and runs of faces for threads.
#include "triangulation/regular_triangulation.h"

#include <algorithm>

namespace orvo::detail {

void number_faces(regular_triangulation& triangulation)
{
    std::size_t order = 0;
    for (auto f = triangulation.all_faces_begin(); f != triangulation.all_faces_end(); ++f) f->info().order = order++;
}

void number_vertices(regular_triangulation& triangulation)
{
    std::size_t number = 0;
    for (auto v = triangulation.tds().vertices_begin(); v != triangulation.tds().vertices_end(); ++v)
        v->info() = number++;
}

void number_faces_and_vertices(regular_triangulation& triangulation)
{
    number_faces(triangulation);
    number_vertices(triangulation);
}

std::size_t cut_position(std::size_t count, std::size_t made, std::size_t j)
{
    return count * j / made;
}

std::vector<face_iterator> cut_faces(regular_triangulation& triangulation, int runs)
{
    const std::size_t count = triangulation.tds().number_of_faces();
    const std::size_t n = std::max<std::size_t>(1, std::min<std::size_t>(runs > 0 ? runs : 1, count));
    std::vector<face_iterator> cuts{triangulation.all_faces_begin()};
    std::size_t k = 0;
    for (auto f = triangulation.all_faces_begin(); cuts.size() < n; ++f, ++k)
        if (k == cut_position(count, n, cuts.size())) cuts.push_back(f);
    cuts.push_back(triangulation.all_faces_end());
    return cuts;
}

}  // namespace orvo::detail
