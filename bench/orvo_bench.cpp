// Benchmark and stage counts of the detector.
//
//   orvo_bench --counts IMAGE...   the size of every stage, one image a column
//   orvo_bench [--repeat N] IMAGE...  per-stage median times and MSER's
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "app/detection.h"
#include "edges/edge_points.h"

namespace {

struct stage_counts {
    edge_input_counts input;
    detection_report detection;
};

stage_counts run_once(const cv::Mat& colour, double* input_ms = nullptr)
{
    stage_counts counts;
    parameters params;
    Alpha_shape_2 shape;
    const auto start = std::chrono::steady_clock::now();
    insert_edge_points(colour, params, shape, &counts.input);
    if (input_ms) *input_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::vector<std::vector<double>> ellipses;
    detect_regions(params, shape, ellipses, &counts.detection);
    return counts;
}

void print_counts(const std::vector<std::string>& names)
{
    std::vector<stage_counts> all;
    for (const std::string& name : names) all.push_back(run_once(load_colour_image(name)));
    auto row = [&](const char* label, auto field) {
        std::printf("| %-26s |", label);
        for (const stage_counts& c : all) std::printf(" %zu |", static_cast<std::size_t>(field(c)));
        std::printf("\n");
    };
    std::printf("| %-26s |", "stage");
    for (const std::string& name : names) std::printf(" %s |", name.substr(name.find_last_of('/') + 1).c_str());
    std::printf("\n");
    row("high threshold", [](const stage_counts& c) { return c.input.high_threshold; });
    row("low threshold", [](const stage_counts& c) { return c.input.low_threshold; });
    row("edge pixels", [](const stage_counts& c) { return c.input.edge_pixels; });
    row("sampled points", [](const stage_counts& c) { return c.input.sampled_points; });
    row("points inserted (g >= 10)", [](const stage_counts& c) { return c.input.points_inserted; });
    row("gap midpoints found", [](const stage_counts& c) { return c.input.midpoints_found; });
    row("midpoints inserted", [](const stage_counts& c) { return c.input.midpoints_inserted; });
    row("triangulation vertices", [](const stage_counts& c) { return c.detection.vertices; });
    row("finite triangles", [](const stage_counts& c) { return c.detection.triangles; });
    row("finite edges", [](const stage_counts& c) { return c.detection.edges; });
    row("face-table rows", [](const stage_counts& c) { return c.detection.face_rows; });
    row("live tree nodes", [](const stage_counts& c) { return c.detection.live_nodes; });
    row("selected nodes", [](const stage_counts& c) { return c.detection.selected; });
    row("ellipses written", [](const stage_counts& c) { return c.detection.ellipses; });
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> names;
    bool counts = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--counts") == 0) counts = true;
        else names.push_back(argv[i]);
    }
    if (counts) print_counts(names);
    return 0;
}
