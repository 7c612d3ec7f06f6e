// Detection of an in-memory image, read as the pipeline: the grey image the
// detector works on, then edge points, alpha shape, face table, component
// tree, selection and one ellipse per selected component. The stages' sizes
// and times are gathered beside it (library/detection_stats).
#include "orvo/detector.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <iterator>
#include <numeric>
#include <optional>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>
#include <tuple>

#include "edges/canny.h"
#include "parallel/jobs.h"
#include "edges/subpixel.h"
#include "ellipse/extract.h"
#include "ellipse/near_duplicates.h"
#include "ellipse/nested_hulls.h"
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
// `hulls`, the hulls are not widened to the edge pixels: the ellipses are
// those of the exact hulls, which go to `hulls`, one for each. Digitised
// hulls go to the threads in equal shares of the nodes, in order, exact ones
// by fit_nested_hulls; the result is the same for any number.
std::vector<Region> ellipses_of_nodes(const face_table& table, const subtree_triangles& subtrees,
                                      const std::vector<chosen_node>& selected, std::size_t vertex_count,
                                      double max_area, bool exact_hull, const edge_pixel_map* edge_pixels, int threads,
                                      std::vector<std::vector<cv::Point2d>>* hulls)
{
    const bool exact = exact_hull || edge_pixels || hulls;
    triangle_corners corners = corners_of_triangles(table, vertex_count, exact);
    if (!hulls) corners.edge_pixels = edge_pixels;
    nested_hulls fits;
    if (exact) {
        fits = fit_nested_hulls(corners, subtrees, selected, max_area, threads);
    } else {
        fits.ellipse.resize(selected.size());
        run_in_shares(selected.size(), threads, [&](std::size_t begin, std::size_t end) {
            vertex_marks marks(vertex_count);
            std::vector<int> triangles;
            for (std::size_t k = begin; k < end; ++k) {
                triangles.clear();
                append_subtree_triangles(subtrees, selected[k].node, triangles);
                if (!triangles.empty()) fits.ellipse[k] = extract_ellipse(corners, triangles, max_area, marks);
            }
        });
    }
    std::vector<Region> regions;
    for (std::size_t k = 0; k < selected.size(); ++k) {
        if (!fits.ellipse[k]) continue;
        regions.push_back(*fits.ellipse[k]);
        regions.back().strength = selected[k].ratio;
        if (hulls) hulls->push_back(std::move(fits.hull[k]));
    }
    return regions;
}

// Whether the region is smaller than min_radius allows (see DetectorOptions).
bool below_min_radius(const Region& r, double min_radius)
{
    // The radius r of a region of matrix M has r^4 det M = 1.
    return min_radius > 0 && std::pow(min_radius, 4) * (r.a * r.c - r.b * r.b) > 1;
}

// The largest area of a component whose hull can give an ellipse of twice
// its area below `max_twice_area`, on an image of `size`. The hull encloses
// the component but for what its digitisation may cut off: its vertices
// truncated to their pixels (under 1.5 px) and its sides rasterised (under
// 1 px), along a perimeter of at most the image's.
double largest_extractable_area(double max_twice_area, cv::Size size)
{
    return max_twice_area / 2 + 5.0 * (size.width + size.height);
}

// The selected components of a filled triangulation of an image of `size`
// as ellipses, 0-based. Components too large for an ellipse are passed over
// before their triangles are collected. With `hulls`, their hulls are left
// unwidened (see ellipses_of_nodes), and so is the test of min_radius,
// which is of the widened ones.
std::vector<Region> regions_of_triangulation(regular_triangulation& shape, const DetectorOptions& options,
                                             cv::Size size, const edge_pixel_map* edge_pixels,
                                             DetectionStats* stats,
                                             std::vector<std::vector<cv::Point2d>>* hulls = nullptr)
{
    stage_clock clock;
    triangulation_times times;
    face_table table;
    {
        const face_alphas alphas = assign_alpha_values(shape, options.threads);
        times.alpha = clock.lap();
        table = build_face_table(shape, alphas, options.threads);
    }  // the rows hold what the steps that follow read of the alpha values
    times.face_table = clock.lap();

    const component_tree tree = build_component_tree(table.rows, std::move(table.adjacent), options.threads);
    const node_triangle_lists node_triangles = group_triangles_by_node(tree.node_of_row, table.rows);
    times.tree = clock.lap();

    const double step = options.edge_step;
    const std::vector<chosen_node> selected =
        choose_components(tree, {options.threshold, options.min_area_growth, options.min_area * step * step},
                          options.threads);
    times.selection = clock.lap();

    const double max_twice_area = options.max_area * static_cast<double>(size.area());
    const std::vector<chosen_node> extracted =
        chosen_up_to_area(tree, selected, largest_extractable_area(max_twice_area, size));
    const subtree_triangles subtrees =
        collect_subtree_triangles(tree, node_triangles, extracted, options.threads);
    std::vector<Region> regions = ellipses_of_nodes(table, subtrees, extracted, shape.tds().number_of_vertices(),
                                                    max_twice_area, options.exact_hull,
                                                    edge_pixels, options.threads, hulls);
    if (!hulls)
        regions.erase(std::remove_if(regions.begin(), regions.end(),
                                     [&](const Region& r) { return below_min_radius(r, options.min_radius); }),
                      regions.end());

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

// One pass over an image of `size`: the triangulation of the edge points
// sampled with `step` and its regions (their hulls left unwidened, in
// `hulls`, when given); its stage sizes and times go to `stats`.
std::vector<Region> detect_pass(level_edges& level, std::size_t k, const DetectorOptions& options, int step,
                                cv::Size size, const edge_pixel_map* edge_pixels, DetectionStats& stats,
                                std::vector<std::vector<cv::Point2d>>* hulls)
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
    return regions_of_triangulation(shape, pass, size, edge_pixels, &stats, hulls);
}

// Whether the region is finite and positive definite and its centre lies
// on the image (within its outer pixels' centres). The stages give none
// other; this keeps the promise should rounding in one of them ever
// produce one.
bool on_image(const Region& r, cv::Size size)
{
    return is_valid(r) && r.x >= 0 && r.x <= size.width - 1 && r.y >= 0 && r.y <= size.height - 1;
}

// The regions of the passes, united in the order of the passes (in the
// image's coordinates), and, when the hulls are widened after the union,
// each one's hull (in its level's coordinates) and level.
struct united_passes {
    std::vector<Region> regions;
    std::vector<std::vector<cv::Point2d>> hulls;
    std::vector<std::size_t> levels;

    // Keeps the entries `kept` (increasing indices).
    void keep(const std::vector<std::size_t>& kept)
    {
        for (std::size_t k = 0; k < kept.size(); ++k) {
            if (kept[k] == k) continue;  // in place already (a vector moved onto itself is emptied)
            regions[k] = regions[kept[k]];
            if (!hulls.empty()) {
                hulls[k] = std::move(hulls[kept[k]]);
                levels[k] = levels[kept[k]];
            }
        }
        regions.resize(kept.size());
        if (!hulls.empty()) {
            hulls.resize(kept.size());
            levels.resize(kept.size());
        }
    }
};

// The ellipses of the united regions' hulls widened to the edge pixels of
// their levels, in the image's coordinates, with their strengths: none for
// a hull whose widened one gives no ellipse, is too large or too small
// (max_area and min_radius, on its level) or lies off the image. The
// threads take equal shares of the hulls in the order below.
std::vector<Region> widened_regions(const united_passes& united, const std::vector<pyramid_level>& pyramid,
                                    const std::vector<edge_pixel_map>& edge_pixels, const DetectorOptions& options)
{
    std::vector<std::optional<Region>> widened(united.regions.size());
    // Taken by level and place (rows 64 pixels high, then x), so that hulls
    // near each other, which look at the same edge pixels, come together.
    std::vector<std::size_t> order(widened.size());
    std::iota(order.begin(), order.end(), 0);
    const auto key = [&](std::size_t k) {
        const cv::Point2d v = united.hulls[k].empty() ? cv::Point2d() : united.hulls[k][0];
        return std::make_tuple(united.levels[k], std::floor(v.y / 64), v.x);
    };
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
    run_in_shares(widened.size(), options.threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t o = begin; o < end; ++o) {
            const std::size_t k = order[o];
            const pyramid_level& level = pyramid[united.levels[k]];
            std::optional<Region> r = widened_ellipse(united.hulls[k], edge_pixels[united.levels[k]],
                                                      options.max_area * static_cast<double>(level.grey.total()));
            if (!r || below_min_radius(*r, options.min_radius)) continue;
            r->strength = united.regions[k].strength;
            if (united.levels[k] > 0) r = region_on_image(*r, level.factor_x, level.factor_y);
            if (on_image(*r, pyramid[0].grey.size())) widened[k] = r;
        }
    });
    std::vector<Region> regions;
    for (const std::optional<Region>& r : widened)
        if (r) regions.push_back(*r);
    return regions;
}

// Every pass of every pyramid level: the edges detected once per level and
// sampled with every step (from `phase` along each edge), then the passes,
// independent detections, on the threads, the one with the most points
// first; each pass takes an equal share of the threads (one when there are
// as many passes as threads). The regions are united in the order of the
// levels, then of the steps, each level's in the image's coordinates; those
// off the image dropped, and, with several steps or levels, those that
// repeat one kept before them (drop_near_duplicates). Hulls to be widened
// to the edge pixels are widened after that test, which takes the ellipses
// of the hulls as they are: only the regions it keeps are widened.
std::vector<Region> detect_levels(const std::vector<pyramid_level>& pyramid, const DetectorOptions& options,
                                  const std::vector<int>& steps, int phase, DetectionStats& sum)
{
    const bool unite = !options.edge_steps.empty() || options.pyramid_levels > 1;
    const bool widen_after_union = unite && options.edge_pixel_hull;
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
    std::vector<std::vector<std::vector<cv::Point2d>>> hulls(passes);
    std::vector<DetectionStats> stats(passes);
    DetectorOptions each = options;
    each.threads = std::max(1, options.threads / static_cast<int>(passes));
    run_in_turn(passes, options.threads, [&](std::size_t k) {
        const std::size_t p = most_points_first[k];
        const pyramid_level& level = pyramid[p / n];
        found[p] = detect_pass(edges[p / n], p % n, each, steps[p % n], level.grey.size(),
                               edge_pixels.empty() ? nullptr : &edge_pixels[p / n], stats[p],
                               widen_after_union ? &hulls[p] : nullptr);
        if (p >= n)
            for (Region& r : found[p]) r = region_on_image(r, level.factor_x, level.factor_y);
    });
    united_passes united;
    for (std::size_t p = 0; p < passes; ++p) {
        united.regions.insert(united.regions.end(), found[p].begin(), found[p].end());
        if (widen_after_union) {
            std::move(hulls[p].begin(), hulls[p].end(), std::back_inserter(united.hulls));
            united.levels.insert(united.levels.end(), found[p].size(), p / n);
        }
        add_sizes_and_times(sum, stats[p]);
    }

    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < united.regions.size(); ++i)
        if (on_image(united.regions[i], pyramid[0].grey.size())) kept.push_back(i);
    united.keep(kept);
    if (!unite) return united.regions;
    stage_clock clock;
    united.keep(near_duplicates_kept(united.regions, options.duplicate_overlap, options.threads));
    const stage_lap test = clock.lap();
    sum.near_duplicates_ms = test.wall_ms;
    sum.near_duplicates_cpu_ms = test.cpu_ms;
    sum.near_duplicates = kept.size() - united.regions.size();
    if (widen_after_union) {
        united.regions = widened_regions(united, pyramid, edge_pixels, options);
        const stage_lap widening = clock.lap();
        sum.extraction_ms += widening.wall_ms;
        sum.extraction_cpu_ms += widening.cpu_ms;
    }
    sum.regions = united.regions.size();
    return united.regions;
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
        if (options.scale != 1.0) regions = scaled_regions(regions, options.scale);
        if (stats) *stats = sum;
        return regions;
    });
}

}  // namespace orvo
