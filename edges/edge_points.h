// Edge-point input: runs the Canny detector on a grey image, sampling its
// edges with one or more steps, and inserts one step's points as weighted
// points (weight growing with the edge strength) into an alpha shape, then
// one pass of gap midpoints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "edges/alpha_shape.h"

// The Canny edges of an 8-bit grey image, sampled with one or more steps.
struct sampled_edges {
    cv::Mat gradient;                            // magnitude mapped to 0..255
    std::vector<std::vector<cv::Point>> points;  // one list per step
    int high_threshold = 0;
    int low_threshold = 0;
    std::size_t edge_pixels = 0;
    double canny_ms = 0;
};

// Detects the edges once and samples them with each of `steps`. The front
// stages run on `threads` threads.
sampled_edges sample_edges(const cv::Mat& grey, const std::vector<int>& steps, int threads = 1);

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
    double points_ms = 0;  // weighting and insertion into the triangulation
};

// Inserts into A (empty on entry) every point sampled with `step` whose
// gradient value g is at least 10, with the weight g * (step / 2)^2 / 255,
// then one pass of gap midpoints (truncated to whole pixels, same gradient
// test), each pass in spatial order.
void insert_weighted_points(const std::vector<cv::Point>& points, const cv::Mat& gradient, std::uint64_t step,
                            Alpha_shape_2& A, edge_input_counts& counts);
