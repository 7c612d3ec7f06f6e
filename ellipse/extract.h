// Ellipse extraction: one selected component, given by its triangles, to one
// ellipse, or none when it is degenerate or too large. The hull is either
// digitised on the pixel grid (extract_ellipse, a component at a time) or
// taken on the vertices' exact positions (ellipse/nested_hulls, nested
// components together), and then, optionally, widened to the edge pixels
// along it.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "ellipse/edge_hull.h"
#include "orvo/region.h"
#include "tree/face_table.h"

namespace orvo::detail {

// Which vertices one extraction has taken already: vertex v (numbered by
// build_face_table) is taken when seen[v] == current. Reused from one
// extraction to the next without clearing; one per thread.
struct vertex_marks {
    std::vector<std::uint32_t> seen;
    std::uint32_t current = 0;

    explicit vertex_marks(std::size_t vertex_count) : seen(vertex_count, 0) {}

    // Starts an extraction: no vertex taken.
    void next()
    {
        if (++current == 0) {  // the marks wrapped around: start afresh
            std::fill(seen.begin(), seen.end(), 0);
            current = 1;
        }
    }

    // Whether `vertex` is new to this extraction; it is taken from now on.
    bool take(int vertex)
    {
        if (seen[vertex] == current) return false;
        seen[vertex] = current;
        return true;
    }
};

// What extraction reads of the face table, in flat arrays: the corners of
// every triangle row as vertex numbers (build_face_table's), and each
// vertex's position truncated toward zero to the pixel grid, on which the
// hull is digitised, or its exact position, when the hull is taken as it is.
struct triangle_corners {
    std::vector<std::array<int, 3>> corners;    // by triangle row
    std::vector<cv::Point> position;            // by vertex number, for the digitised hull
    std::vector<cv::Point2d> exact_position;    // by vertex number, for the exact hull
    // When set (with exact positions), each hull is widened to the edge
    // pixels along its boundary (hull_with_edge_pixels).
    const edge_pixel_map* edge_pixels = nullptr;
};

// With `exact_hull`, the vertices' exact positions are kept instead of
// their pixels.
triangle_corners corners_of_triangles(const face_table& table, std::size_t vertex_count, bool exact_hull = false);

// The ellipse of the digitised convex hull of the triangles' vertices (its
// matrix the inverse of COVARIANCE_SCALE times the covariance), when the fit
// succeeds and twice the hull area is below max_area. The table holds pixel
// positions.
std::optional<Region> extract_ellipse(const triangle_corners& table, const std::vector<int>& triangles,
                                      double max_area, vertex_marks& marks);

// The ellipse of a hull of exact positions (as convex_hull_polygon gives
// it), when the fit succeeds and twice its area is below max_area.
std::optional<Region> exact_hull_ellipse(const std::vector<cv::Point2d>& hull, double max_area);

// The ellipse of `hull` (of exact positions, as convex_hull_polygon gives
// it) widened to the edge pixels along it, when the fit succeeds and twice
// the widened hull's area is below max_area.
std::optional<Region> widened_ellipse(const std::vector<cv::Point2d>& hull, const edge_pixel_map& edges,
                                      double max_area);

// The ellipse spans two standard deviations along each axis.
constexpr double COVARIANCE_SCALE = 4;

}  // namespace orvo::detail
