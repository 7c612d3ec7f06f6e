// The hull of a component widened to the edge pixels along its boundary: the
// sampled edge points are a step apart, and which pixels of an edge get
// sampled depends on where its tracing started; the pixels between them do
// not.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace orvo::detail {

// Every edge pixel of an image: index.at<int>(y, x) is 1 + the pixel's number
// in `position` (0 off the edges), position its place (its centre, or its
// sub-pixel position).
struct edge_pixel_map {
    cv::Mat index;  // 32-bit signed, one channel
    std::vector<cv::Point2d> position;
};

edge_pixel_map map_edge_pixels(cv::Size size, const std::vector<cv::Point>& pixels,
                               const std::vector<cv::Point2d>& positions);

// How far outside a component's hull an edge pixel may lie and still be
// taken into it, in pixels: about the bulge of a curved edge between two
// sampled points.
constexpr double EDGE_HULL_MARGIN = 2.0;

// The convex hull (as convex_hull_polygon gives it) of `hull`, a convex
// polygon, and of the edge pixels within EDGE_HULL_MARGIN of its boundary.
std::vector<cv::Point2d> hull_with_edge_pixels(const std::vector<cv::Point2d>& hull, const edge_pixel_map& edges);

}  // namespace orvo::detail
