// Ellipse extraction: one selected component, given by its triangles, to one
// ellipse record, or none when it is degenerate or too large.
#pragma once

#include <cstdint>
#include <vector>

#include "tree/face_table.h"

// Which vertices one extraction has taken already: vertex v (numbered by
// build_face_table) is taken when seen[v] == current. Reused from one
// extraction to the next without clearing; one per thread.
struct vertex_marks {
    std::vector<std::uint32_t> seen;
    std::uint32_t current = 0;

    explicit vertex_marks(std::size_t vertex_count) : seen(vertex_count, 0) {}
};

// Replaces `ellipse` with (centre x, centre y, M11, M12, M21, M22) of the
// digitised convex hull of the triangles' vertices when the fit succeeds and
// twice the hull area is below max_area; otherwise leaves it unchanged.
// Returns twice the hull area (the fit's size output).
double extract_one_ellipse(const std::vector<face_row>& faces, const std::vector<int>& triangles, double max_area,
                           std::vector<double>& ellipse, vertex_marks& marks);
