// The detection pipeline from the filled alpha shape to the ellipse list.
#include "app/detection.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "ellipse/extract.h"
#include "tree/component_tree.h"
#include "tree/face_table.h"
#include "tree/selection.h"

namespace {

// Milliseconds since `start`, and restarts it.
double lap_ms(std::chrono::steady_clock::time_point& start)
{
    const auto now = std::chrono::steady_clock::now();
    const double ms = std::chrono::duration<double, std::milli>(now - start).count();
    start = now;
    return ms;
}

}  // namespace

bool detect_regions(const parameters& params, Alpha_shape_2& shape, std::vector<std::vector<double>>& ellipses,
                    detection_report* report)
{
    auto clock = std::chrono::steady_clock::now();

    if (shape.dimension() == 2) {
        initialize_interval_face_map(shape);
        initialize_interval_edge_map(shape);
    }
    const double alpha_ms = lap_ms(clock);

    std::vector<gen_face> faces;
    faces_map(shape, faces);
    const int n = static_cast<int>(faces.size());
    const double face_table_ms = lap_ms(clock);

    ctree* tree = nullptr;
    int* CM = nullptr;
    if (!ComponentTree(faces, &tree, &CM)) return false;
    const node_face_lists node_faces = group_faces_by_node(CM, n);
    const double tree_ms = lap_ms(clock);

    const double max_area = params.max_sz * params.image_area;
    const double min_area = params.min_sz * static_cast<double>(params.step) * static_cast<double>(params.step);
    std::vector<int> selected;
    return_all_above_thres(tree, params.threshold, params.min_area_growth, min_area, selected);
    const double selection_ms = lap_ms(clock);

    const std::size_t ellipses_before = ellipses.size();
    const subtree_triangles subtrees = collect_subtree_triangles(tree, node_faces, faces);
    std::vector<int> triangles;
    std::vector<double> ellipse;
    double largest_doubled_area = 0;
    for (const int node : selected) {
        triangles.clear();
        ellipse.clear();
        get_triangles(subtrees, node, triangles);
        if (triangles.empty()) continue;
        const double doubled_area = extract_one_ellipse(faces, triangles, max_area, ellipse);
        if (ellipse.empty()) continue;
        ellipses.push_back(ellipse);
        largest_doubled_area = std::max(largest_doubled_area, doubled_area);
    }

    if (report) {
        report->extraction_ms = lap_ms(clock);
        report->alpha_ms = alpha_ms;
        report->face_table_ms = face_table_ms;
        report->tree_ms = tree_ms;
        report->selection_ms = selection_ms;
        report->vertices = shape.number_of_vertices();
        report->triangles = shape.dimension() == 2 ? shape.number_of_faces() : 0;
        report->face_rows = faces.size();
        report->edges = faces.size() - report->triangles;
        report->live_nodes = 0;
        for (int v = 0; v < n; ++v) report->live_nodes += tree->nodes[v].nbsons >= 0;
        report->selected = selected.size();
        report->ellipses = ellipses.size() - ellipses_before;
        report->largest_doubled_area = largest_doubled_area;
    }
    ComponentTreeFree(tree);
    std::free(CM);
    return true;
}

bool detect_image(const cv::Mat& colour, parameters& params, std::vector<std::vector<double>>& ellipses,
                  edge_input_counts* counts, detection_report* report)
{
    Alpha_shape_2 shape;
    insert_edge_points(colour, params, shape, counts);
    return detect_regions(params, shape, ellipses, report);
}
