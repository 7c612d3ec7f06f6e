// Sub-pixel edge positions: an edge pixel moved to where the gradient
// magnitude peaks across the edge.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace orvo::detail {

// Where the edge through `pixel` crosses its row or its column, whichever
// the edge crosses more steeply: the vertex of the parabola through the
// gradient magnitudes (`gradient`, 32-bit float) at the pixel and its two
// neighbours along that row or column, at most half a pixel away. The
// pixel's own centre when it is on the image border or not a peak of the
// magnitude along that line.
cv::Point2d subpixel_edge_position(const cv::Mat& gradient, cv::Point pixel);

// subpixel_edge_position of each pixel, in order.
std::vector<cv::Point2d> subpixel_edge_positions(const cv::Mat& gradient, const std::vector<cv::Point>& pixels);

}  // namespace orvo::detail
