// Detection of an in-memory image, read as the pipeline: the grey image the
// detector works on, then edge points, alpha shape, face table, component
// tree, selection and one ellipse per selected component. The stages' sizes
// and times are gathered beside it (library/detection_stats).
#include "orvo/detector.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numeric>
#include <optional>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>

#include "edges/canny.h"
#include "parallel/jobs.h"
#include "edges/subpixel.h"
#include "ellipse/extract.h"
#include "ellipse/near_duplicates.h"
#include "library/detection_stats.h"
#include "library/image_types.h"
#include "library/out_of_memory.h"
#include "library/sampling_phase.h"
#include "scales/reduced_copies.h"
#include "tree/component_tree.h"
#include "tree/face_table.h"
#include "tree/selection.h"
#include "triangulation/alpha_values.h"
#include "triangulation/weighted_points.h"

namespace orvo {
namespace {

using namespace detail;

// The grey image the detector reads: by default colour is weighted with the
// red weight on the first stored channel (blue), as the detector always has;
// its regions depend on it. With `bgr` the channels are weighted as OpenCV
// weighs BGR.
cv::Mat detection_grey(const cv::Mat& image, bool bgr, int threads)
{
    const cv::Mat eight_bit = detail::to_eight_bit(image, "detect");
    if (eight_bit.channels() == 1) return eight_bit;
    const bool alpha = eight_bit.channels() == 4;
    const int code =
        bgr ? (alpha ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY) : (alpha ? cv::COLOR_RGBA2GRAY : cv::COLOR_RGB2GRAY);
    // Pixel by pixel: bands of rows converted on the threads, into their rows of the result.
    cv::Mat grey(eight_bit.size(), CV_8UC1);
    run_in_shares(static_cast<std::size_t>(grey.rows), threads, [&](std::size_t begin, std::size_t end) {
        cv::Mat band = grey.rowRange(static_cast<int>(begin), static_cast<int>(end));
        cv::cvtColor(eight_bit.rowRange(static_cast<int>(begin), static_cast<int>(end)), band, code);
    });
    return grey;
}

// The ellipses of the selected nodes, in their order (none for a node whose
// component gives none), each with its node's ratio as its strength. With
// several threads each takes an equal share of the nodes, in order, with
// marks of its own; the result is the same.
std::vector<Region> ellipses_of_nodes(const face_table& table, const subtree_triangles& subtrees,
                                      const std::vector<chosen_node>& selected, std::size_t vertex_count,
                                      double max_area, bool exact_hull, const edge_pixel_map* edge_pixels, int threads)
{
    std::vector<std::optional<Region>> ellipses(selected.size());
    triangle_corners corners = corners_of_triangles(table, vertex_count, exact_hull || edge_pixels);
    corners.edge_pixels = edge_pixels;
    run_in_shares(selected.size(), threads, [&](std::size_t begin, std::size_t end) {
        vertex_marks marks(vertex_count);
        std::vector<int> triangles;
        for (std::size_t k = begin; k < end; ++k) {
            triangles.clear();
            append_subtree_triangles(subtrees, selected[k].node, triangles);
            if (!triangles.empty()) ellipses[k] = extract_ellipse(corners, triangles, max_area, marks);
            if (ellipses[k]) ellipses[k]->strength = selected[k].ratio;
        }
    });
    std::vector<Region> regions;
    for (const std::optional<Region>& e : ellipses)
        if (e) regions.push_back(*e);
    return regions;
}

// The selected components of a filled triangulation as ellipses, 0-based.
std::vector<Region> regions_of_triangulation(regular_triangulation& shape, const DetectorOptions& options,
                                             double image_area, const edge_pixel_map* edge_pixels,
                                             DetectionStats* stats)
{
    stage_clock clock;
    triangulation_times times;
    if (shape.dimension() == 2) assign_alpha_values(shape, options.threads);
    times.alpha = clock.lap();

    face_table table = build_face_table(shape, options.threads);
    times.face_table = clock.lap();

    const component_tree tree = build_component_tree(table.rows, std::move(table.adjacent), options.threads);
    const node_face_lists node_faces = group_faces_by_node(tree.node_of_row);
    times.tree = clock.lap();

    const double step = options.edge_step;
    const std::vector<chosen_node> selected =
        choose_components(tree, {options.threshold, options.min_area_growth, options.min_area * step * step},
                          options.threads);
    times.selection = clock.lap();

    const subtree_triangles subtrees =
        collect_subtree_triangles(tree, node_faces, table.rows, selected, options.threads);
    std::vector<Region> regions = ellipses_of_nodes(table, subtrees, selected, shape.tds().number_of_vertices(),
                                                    options.max_area * image_area, options.exact_hull,
                                                    edge_pixels, options.threads);
    if (options.min_radius > 0) {
        // The radius r of a region of matrix M has r^4 det M = 1.
        const double fourth_power = std::pow(options.min_radius, 4);
        regions.erase(std::remove_if(regions.begin(), regions.end(),
                                     [&](const Region& r) { return fourth_power * (r.a * r.c - r.b * r.b) > 1; }),
                      regions.end());
    }

    times.extraction = clock.lap();
    if (stats) record_triangulation(*stats, shape, table, tree, selected.size(), regions.size(), times);
    return regions;
}

// The edges of a pyramid level, held until every pass that reads them has
// inserted its points (the gradient image alone takes 4 bytes a pixel), not
// through the passes' trees.
struct level_edges {
    sampled_edges edges;
    std::atomic<int> readers{0};

    // Each reading pass, once it has inserted its points: the last lets the
    // edges go.
    void done_reading()
    {
        if (--readers == 0) edges = sampled_edges();
    }
};

// One pass: the triangulation of the edge points sampled with `step` and its
// regions; its stage sizes and times go to `stats`.
std::vector<Region> detect_pass(level_edges& level, std::size_t k, const DetectorOptions& options, int step,
                                double image_area, const edge_pixel_map* edge_pixels, DetectionStats& stats)
{
    DetectorOptions pass = options;
    pass.edge_step = step;
    regular_triangulation shape;
    const sampled_edges& edges = level.edges;
    std::vector<cv::Point2d> refined;
    if (options.subpixel_edges) refined = subpixel_edge_positions(edges.gradient, edges.points[k]);
    const edge_input_counts counts = insert_weighted_points(edges.points[k], edges.gradient,
                                                            static_cast<std::uint64_t>(step), shape,
                                                            options.subpixel_edges ? &refined : nullptr,
                                                            options.threads);
    record_edge_input(stats, edges.points[k].size(), counts);
    level.done_reading();
    return regions_of_triangulation(shape, pass, image_area, edge_pixels, &stats);
}

// Every pass of every pyramid level: the edges detected once per level and
// sampled with every step (from `phase` along each edge), then the passes, independent detections, on the
// threads, the one with the most points first; each pass takes an equal
// share of the threads (one when there are as many passes as threads).
// The regions are united in the order of the levels, then of the steps,
// each level's in the image's coordinates.
std::vector<Region> detect_levels(const std::vector<pyramid_level>& pyramid, const DetectorOptions& options,
                                  const std::vector<int>& steps, int phase, DetectionStats& sum)
{
    // The hull widened to the edge pixels needs them all: one more tracing,
    // every pixel sampled.
    std::vector<int> traced = steps;
    if (options.edge_pixel_hull) traced.push_back(1);
    const std::size_t n = steps.size(), passes = pyramid.size() * n;
    std::vector<level_edges> edges(pyramid.size());
    std::vector<edge_pixel_map> edge_pixels;
    for (std::size_t l = 0; l < pyramid.size(); ++l) {
        const pyramid_level& level = pyramid[l];
        const sampled_edges& found = edges[l].edges = sample_edges(level.grey, traced, options.threads, phase);
        edges[l].readers = static_cast<int>(n);
        if (l == 0) {
            sum.high_threshold = found.high_threshold;
            sum.low_threshold = found.low_threshold;
        }
        sum.edge_pixels += found.edge_pixels;
        sum.canny_ms += found.canny_time.wall_ms;
        sum.canny_cpu_ms += found.canny_time.cpu_ms;
        if (options.edge_pixel_hull) {
            const std::vector<cv::Point>& all = found.points.back();
            edge_pixels.push_back(map_edge_pixels(
                level.grey.size(), options.subpixel_edges ? subpixel_edge_positions(found.gradient, all)
                                                          : std::vector<cv::Point2d>(all.begin(), all.end())));
        }
    }

    // Pass p is the step p % n on the level p / n.
    std::vector<std::size_t> points(passes);
    for (std::size_t p = 0; p < passes; ++p) points[p] = edges[p / n].edges.points[p % n].size();
    std::vector<std::size_t> most_points_first(passes);
    std::iota(most_points_first.begin(), most_points_first.end(), 0);
    std::stable_sort(most_points_first.begin(), most_points_first.end(),
                     [&](std::size_t a, std::size_t b) { return points[a] > points[b]; });
    std::vector<std::vector<Region>> found(passes);
    std::vector<DetectionStats> stats(passes);
    DetectorOptions each = options;
    each.threads = std::max(1, options.threads / static_cast<int>(passes));
    run_in_turn(passes, options.threads, [&](std::size_t k) {
        const std::size_t p = most_points_first[k];
        const pyramid_level& level = pyramid[p / n];
        found[p] = detect_pass(edges[p / n], p % n, each, steps[p % n], static_cast<double>(level.grey.total()),
                               edge_pixels.empty() ? nullptr : &edge_pixels[p / n], stats[p]);
        if (p >= n)
            for (Region& r : found[p]) r = region_on_image(r, level.factor_x, level.factor_y);
    });
    std::vector<Region> regions;
    for (std::size_t p = 0; p < passes; ++p) {
        regions.insert(regions.end(), found[p].begin(), found[p].end());
        add_sizes_and_times(sum, stats[p]);
    }
    return regions;
}

// Drops the regions that are not finite and positive definite or whose
// centre lies off the image (beyond its outer pixels' centres). The stages
// give none such; this keeps the promise should rounding in one of them
// ever produce one.
void keep_regions_on_image(std::vector<Region>& regions, cv::Size size)
{
    const auto off = [&](const Region& r) {
        return !is_valid(r) || !(r.x >= 0 && r.x <= size.width - 1 && r.y >= 0 && r.y <= size.height - 1);
    };
    regions.erase(std::remove_if(regions.begin(), regions.end(), off), regions.end());
}

// The regions grown by `scale`, or std::invalid_argument naming the option
// when one would not be finite and positive definite.
std::vector<Region> scaled_regions(const std::vector<Region>& regions, double scale)
{
    try {
        return scaled(regions, scale);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument(
            "DetectorOptions::scale grows a region into one that is not finite and positive definite");
    }
}

}  // namespace

std::vector<Region> detect(const cv::Mat& image, const DetectorOptions& options, DetectionStats* stats)
{
    return detail::detect_at_sampling_phase(image, options, 0, stats);
}

std::vector<Region> detail::detect_at_sampling_phase(const cv::Mat& image, const DetectorOptions& options, int phase,
                                                     DetectionStats* stats)
{
    options.validate();
    if (phase < 0) throw std::invalid_argument("the sampling phase must be at least 0");
    return detail::translate_out_of_memory([&] {
        const cv::Mat grey = detection_grey(image, options.bgr_grey, options.threads);
        const std::vector<int> steps = options.edge_steps.empty() ? std::vector<int>{options.edge_step}
                                                                   : options.edge_steps;
        DetectionStats sum;
        std::vector<Region> regions =
            detect_levels(reduced_copies(grey, options.pyramid_levels, options.pyramid_step), options, steps, phase,
                          sum);
        keep_regions_on_image(regions, grey.size());
        if (!options.edge_steps.empty() || options.pyramid_levels > 1) {
            const std::size_t all = regions.size();
            stage_clock clock;
            regions = drop_near_duplicates(regions, options.duplicate_overlap, options.threads);
            const stage_lap test = clock.lap();
            sum.near_duplicates_ms = test.wall_ms;
            sum.near_duplicates_cpu_ms = test.cpu_ms;
            sum.near_duplicates = all - regions.size();
            sum.regions = regions.size();
        }
        if (options.scale != 1.0) regions = scaled_regions(regions, options.scale);
        if (stats) *stats = sum;
        return regions;
    });
}

}  // namespace orvo
