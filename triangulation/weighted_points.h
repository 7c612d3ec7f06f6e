// The triangulation's input: edge points weighted by their edge strength,
// then one pass of midpoints of the long edges between them, each pass
// inserted in spatial order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "parallel/processor_time.h"
#include "triangulation/regular_triangulation.h"

namespace orvo::detail {

// What the insertion of one step's points did, for the benchmark and debug
// paths.
struct edge_input_counts {
    std::size_t points_inserted = 0;
    std::size_t midpoints_found = 0;
    std::size_t midpoints_inserted = 0;
    // Sum of the distances (Chebyshev, pixels) from each inserted point to
    // the one inserted before it: what the walks locating them cross. It
    // grows with the number of points, not with the image's aspect ratio.
    double insertion_walk = 0;
    stage_lap points_time;  // weighting and insertion into the triangulation
};

// Inserts into `triangulation` (empty on entry) every point sampled with
// `step` whose gradient value g is at least MIN_GRADIENT, with the weight
// g * (step / 2)^2 / 255, then one pass of gap midpoints (truncated to whole
// pixels, same gradient test), each pass in spatial order. With
// `positions` (one per point), each point is placed there instead of at its
// pixel's centre, its gradient value still that of its pixel, and the
// midpoints are placed exactly, not truncated.
// The gap midpoints are found on `threads` threads.
edge_input_counts insert_weighted_points(const std::vector<cv::Point>& points, const cv::Mat& gradient,
                                         std::uint64_t step, regular_triangulation& triangulation,
                                         const std::vector<cv::Point2d>* positions = nullptr, int threads = 1);

// Puts the points in the order they are inserted, each close to the one
// before whatever the shape of the image: the bounding box cut along its
// longer side into squares, taken in order, and the points of each square
// in the library's spatial order (CGAL::spatial_sort). The work is shared
// by `threads` threads; the order is the same for any number.
void sort_for_insertion(std::vector<weighted_point>& points, const regular_triangulation& triangulation,
                        int threads = 1);

// The weakest gradient value (of 0..255) at which a point is inserted.
constexpr double MIN_GRADIENT = 10.0;

// An edge gets a midpoint when its length is at least the step divided by
// this.
constexpr double GAP_STEP_DIVISOR = 1.5;

// The midpoint of every finite edge whose length (bare coordinates, weights
// ignored) is at least step / GAP_STEP_DIVISOR, in the order of
// for_each_finite_edge. The edges are tested on `threads` threads, each
// taking a run of the faces; the order is the same.
std::vector<bare_point> gap_midpoints(regular_triangulation& triangulation, double step, int threads = 1);

}  // namespace orvo::detail
