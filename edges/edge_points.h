// Edge-point input: runs the Canny detector on a grey image, inserts the sampled edge pixels as weighted points (weight growing
// with the edge strength) into the alpha shape, then one pass of gap
// midpoints.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <vector>

#include "edges/alpha_shape.h"

// What the edge-point input did, for the benchmark and debug paths.
struct edge_input_counts {
    int high_threshold = 0;
    int low_threshold = 0;
    std::size_t edge_pixels = 0;
    std::size_t sampled_points = 0;
    std::size_t points_inserted = 0;
    std::size_t midpoints_found = 0;
    std::size_t midpoints_inserted = 0;
    // Sum of the distances (Chebyshev, pixels) from each inserted point to
    // the one inserted before it: what the walks locating them cross. It
    // grows with the number of points, not with the image's aspect ratio.
    double insertion_walk = 0;
    double canny_ms = 0;   // edge detection
    double points_ms = 0;  // weighting and insertion into the triangulation
};

// Inserts every sampled point whose gradient value g is at least 10 with the
// weight g * (step / 2)^2 / 255, then one pass of gap midpoints (truncated to
// whole pixels, same gradient test), each pass in spatial order. Fills the
// point counts and the insertion walk of `counts`.
void insert_weighted_points(const std::vector<cv::Point>& points, const cv::Mat& gradient, std::uint64_t step,
                            Alpha_shape_2& A, edge_input_counts& counts);

// Inserts the weighted points of an 8-bit grey image into A (empty on
// entry): its Canny edges sampled every `step` pixels, then the midpoints.
// The edge detection's front stages run on `threads` threads.
void insert_edge_points(const cv::Mat& grey, int step, Alpha_shape_2& A, edge_input_counts* counts = nullptr,
                        int threads = 1);
