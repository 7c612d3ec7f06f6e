// The detection after the edge-point input: finish the alpha shape, list its
// faces, build the component tree, group the faces by node, select nodes and
// fit one ellipse per selected node.
#pragma once

#include <cstddef>
#include <vector>

#include "app/command_line.h"
#include "edges/alpha_shape.h"
#include "edges/edge_points.h"

// Sizes and per-stage wall-clock times of one detection, for the benchmark
// and debug paths.
struct detection_report {
    std::size_t vertices = 0, triangles = 0, edges = 0, face_rows = 0;
    std::size_t live_nodes = 0, selected = 0, ellipses = 0;
    double largest_doubled_area = 0;  // of the hulls that gave an ellipse
    double alpha_ms = 0, face_table_ms = 0, tree_ms = 0, selection_ms = 0, extraction_ms = 0;
};

// Appends the ellipses of the selected components to `ellipses`, in
// selection order. Returns false when the component tree could not be
// allocated (its message is then printed).
bool detect_regions(const parameters& params, Alpha_shape_2& shape, std::vector<std::vector<double>>& ellipses,
                    detection_report* report = nullptr);

// The whole detection of an image already loaded (colour, blue first): its
// edge points, then detect_regions. Writes params.image_area.
bool detect_image(const cv::Mat& colour, parameters& params, std::vector<std::vector<double>>& ellipses,
                  edge_input_counts* counts = nullptr, detection_report* report = nullptr);
