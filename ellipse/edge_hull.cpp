// Widening a component's hull to the edge pixels along its boundary, the
// pixels looked up by cells.
#include "ellipse/edge_hull.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "ellipse/fit.h"

namespace orvo::detail {
namespace {

// The cell of coordinate v (in pixels) among `count`, clamped to them.
int cell_of(double v, int count)
{
    return static_cast<int>(std::clamp(std::floor(v / EDGE_CELL), 0.0, static_cast<double>(count - 1)));
}

// The sides of a polygon measured as sides_reached_from weighs them: each
// one's length and the largest magnitude of its start's coordinates.
struct side_sizes {
    std::vector<double> length, extent;

    void measure(const convex_polygon_sides& sides)
    {
        length.resize(sides.start.size());
        extent.resize(sides.start.size());
        for (std::size_t j = 0; j < sides.start.size(); ++j) {
            length[j] = std::sqrt(sides.direction[j].dot(sides.direction[j]));
            extent[j] = std::max(std::abs(sides.start[j].x), std::abs(sides.start[j].y));
        }
    }
};

// sides_reached_from with the sides measured once for all of them.
void reached_from(const convex_polygon_sides& sides, const side_sizes& sizes, std::size_t i,
                  std::vector<std::size_t>& reached)
{
    reached.clear();
    const cv::Point2d a = sides.start[i], b = a + sides.direction[i];
    const double extent_of_side = std::max({sizes.extent[i], std::abs(b.x), std::abs(b.y)});
    for (std::size_t j = 0; j < sides.start.size(); ++j) {
        if (j == i) continue;
        const cv::Point2d d = sides.direction[j], s = sides.start[j];
        const double extent = 1 + std::max(extent_of_side, sizes.extent[j]);
        const double reach = sizes.length[j] * (EDGE_HULL_MARGIN + 1e-6 + 1e-12 * extent);
        if (!(std::max(d.cross(a - s), d.cross(b - s)) + reach < -sides.tolerance[j])) reached.push_back(j);
    }
}

// What a widening needs besides its result, kept by each thread from one
// widening to the next: its sides' sizes, the sides a side reaches, the
// pixels near a side, and which edge pixels (by their index in the map) it
// has taken already, so that a pixel near two sides (about the corner they
// share) is taken once.
struct widening_scratch {
    side_sizes sizes;
    std::vector<std::size_t> reached;
    std::vector<int> near;
    std::vector<std::uint64_t> marks;  // a bit per edge pixel
    std::vector<int> taken;

    // Readies the marks for a map of `pixels` edge pixels, none taken:
    // only those set are cleared, so that a widening costs what it takes,
    // not the map's size.
    void start(std::size_t pixels)
    {
        for (const int k : taken) marks[static_cast<std::size_t>(k) / 64] = 0;
        taken.clear();
        if (marks.size() * 64 < pixels) marks.resize((pixels + 63) / 64);
    }

    bool is_taken(int k) const { return marks[static_cast<std::size_t>(k) / 64] >> (k % 64) & 1; }

    void take(int k)
    {
        marks[static_cast<std::size_t>(k) / 64] |= std::uint64_t{1} << (k % 64);
        taken.push_back(k);
    }
};

}  // namespace

edge_pixel_map map_edge_pixels(cv::Size size, const std::vector<cv::Point2d>& positions)
{
    edge_pixel_map map;
    map.columns = std::max(1, (size.width + EDGE_CELL - 1) / EDGE_CELL);
    map.rows = std::max(1, (size.height + EDGE_CELL - 1) / EDGE_CELL);
    std::vector<int> cell(positions.size());
    map.first.assign(static_cast<std::size_t>(map.columns) * map.rows + 1, 0);
    for (std::size_t k = 0; k < positions.size(); ++k) {
        cell[k] = cell_of(positions[k].y, map.rows) * map.columns + cell_of(positions[k].x, map.columns);
        ++map.first[cell[k] + 1];
    }
    for (std::size_t c = 1; c < map.first.size(); ++c) map.first[c] += map.first[c - 1];
    std::vector<int> next(map.first.begin(), map.first.end() - 1);
    map.position.resize(positions.size());
    for (std::size_t k = 0; k < positions.size(); ++k) map.position[next[cell[k]]++] = positions[k];
    return map;
}

void sides_reached_from(const convex_polygon_sides& sides, std::size_t i, std::vector<std::size_t>& reached)
{
    side_sizes sizes;
    sizes.measure(sides);
    reached_from(sides, sizes, i, reached);
}

std::vector<cv::Point2d> hull_with_edge_pixels(const std::vector<cv::Point2d>& hull, const edge_pixel_map& edges)
{
    const std::size_t h = hull.size();
    if (h < 3 || edges.position.empty()) return hull;
    // Only the edge pixels that are not clearly inside the hull can be
    // vertices of the widened one; the others are left out of its sort.
    const convex_polygon_sides sides(hull);
    std::vector<cv::Point2d> points;
    points.reserve(16 * h);
    points = hull;
    thread_local widening_scratch scratch;
    scratch.start(edges.position.size());
    scratch.sizes.measure(sides);
    std::vector<std::size_t>& reached = scratch.reached;
    constexpr double M = EDGE_HULL_MARGIN;
    // Slack for the rounding of the bounds below; the test of each pixel is
    // exact to its own arithmetic.
    constexpr double slack = 1e-6;
    for (std::size_t i = 0; i < h; ++i) {
        const cv::Point2d a = hull[i], d = sides.direction[i];
        const double squared_length = d.dot(d);
        // A pixel farther than the margin from the edge's line is farther
        // from the edge: passed over before the exact test (the factor
        // covers the rounding of both).
        const double far_from_line = M * M * squared_length * (1 + 1e-9);
        const auto near_edge = [&](const cv::Point2d& p) {
            const double t = squared_length > 0 ? std::clamp((p - a).dot(d) / squared_length, 0.0, 1.0) : 0.0;
            const cv::Point2d off = p - (a + d * t);
            return off.dot(off) <= M * M;
        };
        reached_from(sides, scratch.sizes, i, reached);
        // A pixel within the margin of the edge lies within the margin of
        // it along each axis: in each row of cells, those within the margin
        // of the part of the edge within the margin of the row.
        const int row_low = cell_of(std::min(a.y, a.y + d.y) - M - slack, edges.rows);
        const int row_high = cell_of(std::max(a.y, a.y + d.y) + M + slack, edges.rows);
        for (int row = row_low; row <= row_high; ++row) {
            const double y0 = row * EDGE_CELL - M - slack, y1 = (row + 1) * EDGE_CELL + M + slack;
            double t0 = 0, t1 = 1;
            if (d.y != 0) {
                t0 = (y0 - a.y) / d.y;
                t1 = (y1 - a.y) / d.y;
                if (t0 > t1) std::swap(t0, t1);
                if (t1 < 0 || t0 > 1) continue;
                t0 = std::max(t0, 0.0);
                t1 = std::min(t1, 1.0);
            } else if (a.y < y0 || a.y > y1) {
                continue;
            }
            const double x0 = a.x + d.x * t0, x1 = a.x + d.x * t1;
            const int column_low = cell_of(std::min(x0, x1) - M - slack, edges.columns);
            const int column_high = cell_of(std::max(x0, x1) + M + slack, edges.columns);
            const int begin = edges.first[row * edges.columns + column_low];
            const int end = edges.first[row * edges.columns + column_high + 1];
            // The pixels within the margin of the edge's line, in order,
            // found without a branch on each (which ones are is hard to
            // guess).
            if (scratch.near.size() < static_cast<std::size_t>(end - begin)) scratch.near.resize(end - begin);
            int* const near = scratch.near.data();
            int count = 0;
            for (int k = begin; k < end; ++k) {
                const cv::Point2d& p = edges.position[k];
                const double across = d.cross(p - a);
                near[count] = k;
                count += across * across <= far_from_line;
            }
            for (int n = 0; n < count; ++n) {
                const int k = near[n];
                const cv::Point2d& p = edges.position[k];
                // A pixel taken already (near another side too) or at a
                // corner of the hull (in the points from the start) would
                // only repeat a point: the first stays where it was.
                if (scratch.is_taken(k) || p == a || p == hull[i + 1 < h ? i + 1 : 0] || !near_edge(p)) continue;
                // Not clearly inside: outside this edge's side (the same
                // test as inside_side's), or outside one of the sides that
                // come within the margin of the edge.
                bool inside = d.cross(p - a) < -sides.tolerance[i];
                for (std::size_t j = 0; inside && j < reached.size(); ++j) inside = sides.inside_side(reached[j], p);
                if (inside) continue;
                scratch.take(k);
                points.push_back(p);
            }
        }
    }
    return convex_hull_polygon(std::move(points));
}

}  // namespace orvo::detail
