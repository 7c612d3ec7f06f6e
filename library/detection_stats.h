// The sizes and times of a detection's stages (DetectionStats), gathered
// beside the detection (stage_clock times the stages): the figures of a
// triangulation's pass and of its edge points, and the sum of the passes of
// a multi-scale detection.
#pragma once

#include <cstddef>

#include "orvo/detector.h"
#include "parallel/processor_time.h"
#include "tree/component_tree.h"
#include "tree/face_table.h"
#include "triangulation/regular_triangulation.h"
#include "triangulation/weighted_points.h"

namespace orvo::detail {

// The times of a triangulation's stages.
struct triangulation_times {
    stage_lap alpha, face_table, tree, selection, extraction;
};

// The sizes and times of one pass over a filled triangulation.
void record_triangulation(DetectionStats& stats, const regular_triangulation& shape, const face_table& table,
                          const component_tree& tree, std::size_t selected, std::size_t regions,
                          const triangulation_times& times);

// The counts and time of one pass's edge points.
void record_edge_input(DetectionStats& stats, std::size_t sampled_points, const edge_input_counts& counts);

// Adds a pass's sizes and times to the sum of a multi-scale detection.
void add_sizes_and_times(DetectionStats& sum, const DetectionStats& pass);

}  // namespace orvo::detail
