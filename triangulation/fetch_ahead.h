// Walks over the faces in storage order that ask the processor, some faces
// ahead of the one visited, for the memory its visit will read. The points
// are inserted in rounds, so a face's neighbours and vertices lie anywhere
// in the storage: a walk that waits for each of them in turn spends most of
// its time waiting, one that asks early has many loads in flight at once.
// The requests are hints only: they change no value.
#pragma once

#include <cstddef>

#include "triangulation/regular_triangulation.h"

namespace orvo::detail {

// Asks for the cache line holding the byte. In assembly where the
// compiler offers it: a function whose only effect is the builtin counts as
// one without effects, and its calls may be dropped.
inline void fetch_line(const char* byte)
{
#if defined(__x86_64__)
    asm volatile("prefetcht0 %0" : : "m"(*byte));
#elif defined(__aarch64__)
    asm volatile("prfm pldl1keep, %0" : : "Q"(*byte));
#else
    __builtin_prefetch(byte);
#endif
}

// Asks for every cache line of the object.
template <class T>
inline void fetch(const T& object)
{
    constexpr std::size_t LINE = 64;
    const char* first = reinterpret_cast<const char*>(&object);
    for (std::size_t offset = 0; offset < sizeof(T); offset += LINE) fetch_line(first + offset);
    fetch_line(first + sizeof(T) - 1);  // the object need not start on a line
}

inline void fetch_vertices(const face_iterator& f)
{
    for (int i = 0; i < 3; ++i) fetch(*f->vertex(i));
}

inline void fetch_neighbours(const face_iterator& f)
{
    for (int i = 0; i < 3; ++i) fetch(*f->neighbor(i));
}

// How far ahead a walk asks: far enough for a load from memory to arrive,
// near enough for the lines to stay in the caches until visited. A walk
// that needs what one load brings to know what to ask next (a neighbour's
// slot in a table) asks in two steps, at both distances.
constexpr int FETCH_FAR = 24;
constexpr int FETCH_NEAR = 12;

// Calls visit(f) for the faces [begin, end) in storage order, having called
// fetch_far(g) FETCH_FAR faces before visiting g and fetch_near(g)
// FETCH_NEAR faces before (or at the start of the walk, for the first ones).
template <class FetchFar, class FetchNear, class Visit>
void walk_fetching_ahead(face_iterator begin, face_iterator end, FetchFar fetch_far, FetchNear fetch_near,
                         Visit visit)
{
    face_iterator far = begin, near = begin;
    for (int k = 0; k < FETCH_FAR && far != end; ++k, ++far) fetch_far(far);
    for (int k = 0; k < FETCH_NEAR && near != end; ++k, ++near) fetch_near(near);
    for (face_iterator f = begin; f != end; ++f) {
        if (far != end) fetch_far(far++);
        if (near != end) fetch_near(near++);
        visit(f);
    }
}

// The same with one step, at the far distance.
template <class Fetch, class Visit>
void walk_fetching_ahead(face_iterator begin, face_iterator end, Fetch fetch, Visit visit)
{
    walk_fetching_ahead(begin, end, fetch, [](const face_iterator&) {}, visit);
}

}  // namespace orvo::detail
