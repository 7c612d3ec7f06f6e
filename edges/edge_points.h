// Edge-point input: loads the image, runs the Canny detector on its grey
// version, inserts the sampled edge pixels as weighted points (weight growing
// with the edge strength) into the alpha shape, then one pass of gap
// midpoints.
#pragma once

#include <cstddef>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "edges/alpha_shape.h"

// The largest image the detector reads (in pixels): 2^27, about 134
// megapixels, whose detection needs a few gigabytes. (The image library's
// OPENCV_IO_MAX_IMAGE_PIXELS, when set, takes its place.)
constexpr std::size_t MAX_IMAGE_PIXELS = std::size_t(1) << 27;

// Every read of the input image: colour as stored (blue first), EXIF
// orientation ignored so that coordinates refer to the stored pixels. Empty
// when the file cannot be read or decoded, or is larger than
// MAX_IMAGE_PIXELS.
cv::Mat load_colour_image(const std::string& file_name);

// The same for an encoded image in memory.
cv::Mat decode_colour_image(const unsigned char* data, std::size_t size);

// What the edge-point input did, for the benchmark and debug paths.
struct edge_input_counts {
    int high_threshold = 0;
    int low_threshold = 0;
    std::size_t edge_pixels = 0;
    std::size_t sampled_points = 0;
    std::size_t points_inserted = 0;
    std::size_t midpoints_found = 0;
    std::size_t midpoints_inserted = 0;
    double canny_ms = 0;   // grey conversion and edge detection
    double points_ms = 0;  // weighting and insertion into the triangulation
};

// Inserts every sampled point whose gradient value g is at least 10 with the
// weight g * (step / 2)^2 / 255, then one pass of gap midpoints (truncated to
// whole pixels, same gradient test). Reports the numbers inserted and found.
void insert_weighted_points(const std::vector<cv::Point>& points, const cv::Mat& gradient, std::uint64_t step,
                            Alpha_shape_2& A, std::size_t& inserted, std::size_t& mids_found,
                            std::size_t& mids_inserted);

// Inserts the weighted points of an already loaded colour image into A
// (empty on entry) and writes p.image_area.
void insert_edge_points(const cv::Mat& colour, parameters& p, Alpha_shape_2& A, edge_input_counts* counts = nullptr);

// The input stage of a run: loads p.image_name (or prints
// "<name>: file not found." and ends the process with status 255), then
// inserts its edge points as above.
void image_input_canny(parameters& p, Alpha_shape_2& A, edge_input_counts* counts = nullptr);
