// Ellipse extraction: one selected component, given by its triangles, to one
// ellipse record, or none when it is degenerate or too large.
#pragma once

#include <vector>

#include "tree/face_table.h"

// Replaces `ellipse` with (centre x, centre y, M11, M12, M21, M22) of the
// digitised convex hull of the triangles' vertices when the fit succeeds and
// twice the hull area is below max_area; otherwise leaves it unchanged.
// Returns twice the hull area (the fit's size output).
double extract_one_ellipse(const std::vector<gen_face>& faces, const std::vector<int>& triangles, double max_area,
                         std::vector<double>& ellipse);
