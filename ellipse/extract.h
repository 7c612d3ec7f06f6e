// Ellipse extraction: one selected component, given by its triangles, to one
// ellipse, or none when it is degenerate or too large.
#pragma once

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

// The ellipse of the convex hull of the triangles' vertices (its matrix the
// inverse of COVARIANCE_SCALE times the covariance), when the fit succeeds
// and twice the hull area is below max_area. The hull is digitised on the
// pixel grid, or, when `table` holds exact positions, the polygon of the
// exact hull vertices.
std::optional<Region> extract_ellipse(const triangle_corners& table, const std::vector<int>& triangles,
                                      double max_area, vertex_marks& marks);

// A component's ellipse fitted to its hull as it is (not widened), and that
// hull.
struct hull_fit {
    Region ellipse;
    std::vector<cv::Point2d> hull;
};

// The same as extract_ellipse without the widening: the ellipse of the hull
// of the triangles' vertices and the hull.
std::optional<hull_fit> fit_hull(const triangle_corners& table, const std::vector<int>& triangles, double max_area,
                                 vertex_marks& marks);

// The ellipse of `hull` (as fit_hull gives it, of exact positions) widened
// to the edge pixels along it, when the fit succeeds and twice the widened
// hull's area is below max_area.
std::optional<Region> widened_ellipse(const std::vector<cv::Point2d>& hull, const edge_pixel_map& edges,
                                      double max_area);

// The ellipse spans two standard deviations along each axis.
constexpr double COVARIANCE_SCALE = 4;

}  // namespace orvo::detail
