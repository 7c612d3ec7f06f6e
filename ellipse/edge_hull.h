// The hull of a component widened to the edge pixels along its boundary: the
// sampled edge points are a step apart, and which pixels of an edge get
// sampled depends on where its tracing started; the pixels between them do
// not.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "ellipse/fit.h"

namespace orvo::detail {

// The edge pixels of an image by their places (their centres, or their
// sub-pixel positions), bucketed by square cells of EDGE_CELL pixels: the
// places in cell (column i, row j) are position[first[j * columns + i]]
// up to position[first[j * columns + i + 1]], so that a row of cells is one
// run of `position`.
struct edge_pixel_map {
    int columns = 0, rows = 0;  // of cells
    std::vector<int> first;     // columns * rows + 1 entries
    std::vector<cv::Point2d> position;
};

constexpr int EDGE_CELL = 4;

// The map of an image of `size` whose edge pixels lie at `positions` (each
// within the image: from 0 to its width - 1 and height - 1).
edge_pixel_map map_edge_pixels(cv::Size size, const std::vector<cv::Point2d>& positions);

// How far outside a component's hull an edge pixel may lie and still be
// taken into it, in pixels: about the bulge of a curved edge between two
// sampled points.
constexpr double EDGE_HULL_MARGIN = 2.0;

// Fills `reached` with the sides j other than i (of a convex polygon as
// convex_hull_polygon gives it) that a point within EDGE_HULL_MARGIN of side
// i can lie outside of, or within the tolerance of: those whose test, at its
// largest over that reach (at an end of side i moved by the margin along
// side j's outward normal), is not below the tolerance by more than the
// rounding of a point's own test. Points near side i are clearly inside the
// other sides.
void sides_reached_from(const convex_polygon_sides& sides, std::size_t i, std::vector<std::size_t>& reached);

// The convex hull (as convex_hull_polygon gives it) of `hull`, a convex
// polygon as convex_hull_polygon gives it, and of the edge pixels within
// EDGE_HULL_MARGIN of its boundary.
std::vector<cv::Point2d> hull_with_edge_pixels(const std::vector<cv::Point2d>& hull, const edge_pixel_map& edges);

}  // namespace orvo::detail
