// The sizes and times of a detection's stages.
#include "library/detection_stats.h"

namespace orvo::detail {

void record_triangulation(DetectionStats& stats, const regular_triangulation& shape, const face_table& table,
                          const component_tree& tree, std::size_t selected, std::size_t regions,
                          const triangulation_times& times)
{
    stats.alpha_ms = times.alpha.wall_ms;
    stats.face_table_ms = times.face_table.wall_ms;
    stats.tree_ms = times.tree.wall_ms;
    stats.selection_ms = times.selection.wall_ms;
    stats.extraction_ms = times.extraction.wall_ms;
    stats.alpha_cpu_ms = times.alpha.cpu_ms;
    stats.face_table_cpu_ms = times.face_table.cpu_ms;
    stats.tree_cpu_ms = times.tree.cpu_ms;
    stats.selection_cpu_ms = times.selection.cpu_ms;
    stats.extraction_cpu_ms = times.extraction.cpu_ms;
    stats.vertices = shape.number_of_vertices();
    stats.triangles = shape.dimension() == 2 ? shape.number_of_faces() : 0;
    stats.face_rows = table.rows.size();
    stats.edges = table.rows.size() - stats.triangles;
    stats.live_nodes = 0;
    for (const tree_node& node : tree.nodes) stats.live_nodes += !node.merged();
    stats.selected = selected;
    stats.regions = regions;
}

void record_edge_input(DetectionStats& stats, std::size_t sampled_points, const edge_input_counts& counts)
{
    stats.sampled_points = sampled_points;
    stats.points_inserted = counts.points_inserted;
    stats.midpoints_found = counts.midpoints_found;
    stats.midpoints_inserted = counts.midpoints_inserted;
    stats.points_ms = counts.points_time.wall_ms;
    stats.points_cpu_ms = counts.points_time.cpu_ms;
}

void add_sizes_and_times(DetectionStats& sum, const DetectionStats& pass)
{
    for (auto field : {&DetectionStats::sampled_points, &DetectionStats::points_inserted,
                       &DetectionStats::midpoints_found, &DetectionStats::midpoints_inserted, &DetectionStats::vertices,
                       &DetectionStats::triangles, &DetectionStats::edges, &DetectionStats::face_rows,
                       &DetectionStats::live_nodes, &DetectionStats::selected, &DetectionStats::regions})
        sum.*field += pass.*field;
    for (auto field : {&DetectionStats::points_ms, &DetectionStats::alpha_ms, &DetectionStats::face_table_ms,
                       &DetectionStats::tree_ms, &DetectionStats::selection_ms, &DetectionStats::extraction_ms,
                       &DetectionStats::points_cpu_ms, &DetectionStats::alpha_cpu_ms,
                       &DetectionStats::face_table_cpu_ms, &DetectionStats::tree_cpu_ms,
                       &DetectionStats::selection_cpu_ms, &DetectionStats::extraction_cpu_ms})
        sum.*field += pass.*field;
}

}  // namespace orvo::detail
