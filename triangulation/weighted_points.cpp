// Weighted edge points and gap midpoints into the triangulation.
#include "triangulation/weighted_points.h"

#include <CGAL/Hilbert_sort_median_2.h>
#include <CGAL/Spatial_sort_traits_adapter_2.h>
#include <CGAL/algorithm.h>
#include <algorithm>
#include <boost/random/linear_congruential.hpp>
#include <boost/random/random_number_generator.hpp>
#include <boost/property_map/function_property_map.hpp>
#include <cmath>
#include <numeric>
#include <opencv2/core.hpp>
#include <vector>

#include "parallel/jobs.h"

namespace orvo::detail {
namespace {

// A range of points to put in Hilbert order, and how the curve runs
// through it: cut first across x, as through a whole part and the middle
// quarters of one; cut first across y, as through a part's first quarter;
// or that reversed in both coordinates, as through its last quarter.
struct hilbert_quarter {
    enum orientation_kind { ACROSS_X, ACROSS_Y, ACROSS_Y_REVERSED };
    std::vector<weighted_point>::iterator begin, end;
    orientation_kind orientation;
};

using construct_point = kernel::Construct_point_2;
using bare_of_weighted = boost::result_of<const construct_point(const weighted_point&)>::type;
using bare_map = boost::function_property_map<construct_point, weighted_point, bare_of_weighted>;
using sort_traits = CGAL::Spatial_sort_traits_adapter_2<kernel, bare_map>;
using point_iterator = std::vector<weighted_point>::iterator;

// CGAL's spatial sort of a range of points (spatial_sort with its defaults:
// a shuffle by a freshly seeded generator, then Hilbert orders by medians of
// ever larger parts) taken apart so that threads can share it: the parts
// and the quarters of each part's curve are independent ranges. The order
// is the library's own, step for step.
class spatial_order {
public:
    explicit spatial_order(const regular_triangulation& triangulation)
        : traits_(boost::make_function_property_map<weighted_point, bare_of_weighted, construct_point>(
                      triangulation.geom_traits().construct_point_2_object()),
                  triangulation.geom_traits()),
          hilbert_(traits_, HILBERT_LIMIT)
    {
    }

    // Shuffles the range as the library does and returns its parts, each to
    // be put in Hilbert order on its own: the last three quarters, then
    // the last three quarters of the first quarter, and so on, down to a
    // first part of fewer than MULTISCALE_LIMIT points.
    std::vector<hilbert_quarter> shuffled_parts(point_iterator begin, point_iterator end) const
    {
        boost::rand48 random;
        boost::random_number_generator<boost::rand48, std::ptrdiff_t> generator(random);
        CGAL::cpp98::random_shuffle(begin, end, generator);
        std::vector<hilbert_quarter> parts;
        while (end - begin >= MULTISCALE_LIMIT) {
            const point_iterator middle = begin + static_cast<std::ptrdiff_t>(static_cast<double>(end - begin) * 0.25);
            parts.push_back({middle, end, hilbert_quarter::ACROSS_X});
            end = middle;
        }
        parts.push_back({begin, end, hilbert_quarter::ACROSS_X});
        return parts;
    }

    // The first cut of a part's Hilbert order: its four quarters (none
    // when the part is too small to be cut), each in the orientation the
    // curve runs through it.
    std::vector<hilbert_quarter> quarters(const hilbert_quarter& part) const
    {
        const point_iterator m0 = part.begin, m4 = part.end;
        if (m4 - m0 <= HILBERT_LIMIT) return {};
        using CGAL::internal::hilbert_split;
        using CGAL::internal::Hilbert_cmp_2;
        const point_iterator m2 = hilbert_split(m0, m4, Hilbert_cmp_2<sort_traits, 0, false>(traits_));
        const point_iterator m1 = hilbert_split(m0, m2, Hilbert_cmp_2<sort_traits, 1, false>(traits_));
        const point_iterator m3 = hilbert_split(m2, m4, Hilbert_cmp_2<sort_traits, 1, true>(traits_));
        return {{m0, m1, hilbert_quarter::ACROSS_Y},
                {m1, m2, hilbert_quarter::ACROSS_X},
                {m2, m3, hilbert_quarter::ACROSS_X},
                {m3, m4, hilbert_quarter::ACROSS_Y_REVERSED}};
    }

    // Puts a quarter (or a whole part) in Hilbert order.
    void sort(const hilbert_quarter& q) const
    {
        switch (q.orientation) {
        case hilbert_quarter::ACROSS_X: hilbert_.recursive_sort<0, false, false>(q.begin, q.end); break;
        case hilbert_quarter::ACROSS_Y: hilbert_.recursive_sort<1, false, false>(q.begin, q.end); break;
        case hilbert_quarter::ACROSS_Y_REVERSED: hilbert_.recursive_sort<1, true, true>(q.begin, q.end); break;
        }
    }

private:
    // The library's defaults: the Hilbert order leaves runs of at most 4
    // points as they are; the parts stop below 16 points.
    static constexpr std::ptrdiff_t HILBERT_LIMIT = 4, MULTISCALE_LIMIT = 16;
    sort_traits traits_;
    CGAL::Hilbert_sort_median_2<sort_traits, CGAL::Sequential_tag> hilbert_;
};

// The lists one after another, copied into place on `threads` threads.
template <class T>
std::vector<T> joined(std::vector<std::vector<T>>& lists, int threads)
{
    if (lists.size() == 1) return std::move(lists[0]);
    std::vector<std::size_t> offset(lists.size() + 1, 0);
    for (std::size_t k = 0; k < lists.size(); ++k) offset[k + 1] = offset[k] + lists[k].size();
    std::vector<T> all(offset.back());
    run_in_turn(lists.size(), threads, [&](std::size_t k) {
        std::copy(lists[k].begin(), lists[k].end(), all.begin() + static_cast<std::ptrdiff_t>(offset[k]));
    });
    return all;
}

// The lists work(0), work(1), ... work(count - 1) made on `threads` threads
// and joined in that order.
template <class T, class Work>
std::vector<T> joined_in_turn(std::size_t count, int threads, const Work& work)
{
    std::vector<std::vector<T>> lists(count);
    run_in_turn(count, threads, [&](std::size_t k) { lists[k] = work(k); });
    return joined(lists, threads);
}

// What make(k, list) appends to a list for k = 0 .. count - 1, in that
// order: each of `threads` threads takes a share of the k and a list of its
// own.
template <class T, class Make>
std::vector<T> appended_in_shares(std::size_t count, int threads, const Make& make)
{
    const std::size_t shares = std::max<std::size_t>(1, std::min<std::size_t>(std::max(threads, 1), count));
    std::vector<std::vector<T>> lists(shares);
    run_jobs(static_cast<int>(shares), [&](int j) {
        for (std::size_t k = count * j / shares; k < count * (j + 1) / shares; ++k) make(k, lists[j]);
    });
    return joined(lists, threads);
}

}  // namespace

// The squares' points grouped by a counting sort, then the squares, the parts
// of each and the quarters of each part sorted on the threads in turn.
void sort_for_insertion(std::vector<weighted_point>& points, const regular_triangulation& triangulation, int threads)
{
    if (points.empty()) return;
    double min_x = points[0].x(), max_x = min_x, min_y = points[0].y(), max_y = min_y;
    for (const weighted_point& p : points) {
        min_x = std::min(min_x, p.x());
        max_x = std::max(max_x, p.x());
        min_y = std::min(min_y, p.y());
        max_y = std::max(max_y, p.y());
    }
    const bool wide = max_x - min_x >= max_y - min_y;
    const double side = std::max(1.0, wide ? max_y - min_y : max_x - min_x);
    auto square_of = [&](const weighted_point& p) {
        return static_cast<std::size_t>(((wide ? p.x() - min_x : p.y() - min_y)) / side);
    };
    // The points grouped by square, in order within each (a counting sort).
    const std::size_t squares = static_cast<std::size_t>((wide ? max_x - min_x : max_y - min_y) / side) + 1;
    std::vector<std::size_t> first_of_square(squares + 1, 0);
    for (const weighted_point& p : points) ++first_of_square[square_of(p) + 1];
    std::partial_sum(first_of_square.begin(), first_of_square.end(), first_of_square.begin());
    if (squares > 1) {
        std::vector<weighted_point> grouped(points.size());
        std::vector<std::size_t> next(first_of_square.begin(), first_of_square.end() - 1);
        for (const weighted_point& p : points) grouped[next[square_of(p)]++] = p;
        points = std::move(grouped);
    }

    const spatial_order order(triangulation);
    const std::vector<hilbert_quarter> parts =
        joined_in_turn<hilbert_quarter>(squares, threads, [&](std::size_t s) {
            return order.shuffled_parts(points.begin() + static_cast<std::ptrdiff_t>(first_of_square[s]),
                                        points.begin() + static_cast<std::ptrdiff_t>(first_of_square[s + 1]));
        });
    const std::vector<hilbert_quarter> quarters =
        joined_in_turn<hilbert_quarter>(parts.size(), threads, [&](std::size_t k) { return order.quarters(parts[k]); });
    run_in_turn(quarters.size(), threads, [&](std::size_t k) { order.sort(quarters[k]); });
}

namespace {

// Inserts the points in spatial order, each located from the face of the one
// before. Returns the sum of the Chebyshev distances from each point to the
// one before it: the length of the walks that locate them, in pixels.
double insert_in_spatial_order(std::vector<weighted_point>& points, regular_triangulation& triangulation,
                               int threads)
{
    sort_for_insertion(points, triangulation, threads);
    double walk = 0;
    face_handle hint;
    for (std::size_t k = 0; k < points.size(); ++k) {
        if (k > 0)
            walk += std::max(std::abs(points[k].x() - points[k - 1].x()), std::abs(points[k].y() - points[k - 1].y()));
        hint = triangulation.insert(points[k], hint)->face();
    }
    return walk;
}

}  // namespace

edge_input_counts insert_weighted_points(const std::vector<cv::Point>& points, const cv::Mat& gradient,
                                         std::uint64_t step, regular_triangulation& triangulation,
                                         const std::vector<cv::Point2d>* positions, int threads)
{
    stage_clock clock;
    edge_input_counts counts;
    const double half_step = static_cast<double>(step) * 0.5;
    const double weight_per_gradient = half_step * half_step / 255.0;
    std::vector<weighted_point> weighted = appended_in_shares<weighted_point>(
        points.size(), threads, [&](std::size_t k, std::vector<weighted_point>& out) {
            const cv::Point& pt = points[k];
            const double g = gradient.at<float>(pt.y, pt.x);
            if (g < MIN_GRADIENT) return;
            out.emplace_back(positions ? bare_point((*positions)[k].x, (*positions)[k].y) : bare_point(pt.x, pt.y),
                             g * weight_per_gradient);
        });
    counts.points_inserted = weighted.size();
    counts.insertion_walk = insert_in_spatial_order(weighted, triangulation, threads);

    const std::vector<bare_point> midpoints = gap_midpoints(triangulation, static_cast<double>(step), threads);
    counts.midpoints_found = midpoints.size();
    weighted = appended_in_shares<weighted_point>(
        midpoints.size(), threads, [&](std::size_t k, std::vector<weighted_point>& out) {
            const bare_point& m = midpoints[k];
            const int xi = static_cast<int>(m.x()), yi = static_cast<int>(m.y());
            const double g = gradient.at<float>(yi, xi);
            if (g >= MIN_GRADIENT) out.emplace_back(positions ? m : bare_point(xi, yi), g * weight_per_gradient);
        });
    counts.midpoints_inserted = weighted.size();
    counts.insertion_walk += insert_in_spatial_order(weighted, triangulation, threads);
    counts.points_time = clock.lap();
    return counts;
}

std::vector<bare_point> gap_midpoints(regular_triangulation& triangulation, double step, int threads)
{
    const double min_length = step / GAP_STEP_DIVISOR;
    auto midpoint_if_long = [min_length](std::vector<bare_point>& midpoints) {
        return [&midpoints, min_length](const face_handle& f, int i) {
            const bare_point& p = f->vertex(regular_triangulation::cw(i))->point().point();
            const bare_point& q = f->vertex(regular_triangulation::ccw(i))->point().point();
            const double dx = p.x() - q.x(), dy = p.y() - q.y();
            if (std::sqrt(dx * dx + dy * dy) >= min_length)
                midpoints.emplace_back((p.x() + q.x()) * 0.5, (p.y() + q.y()) * 0.5);
        };
    };
    number_faces(triangulation);
    std::vector<bare_point> midpoints;
    if (triangulation.dimension() < 2) {
        for_each_finite_edge(triangulation, midpoint_if_long(midpoints));
        return midpoints;
    }
    // Each run's midpoints, joined in the order of the runs.
    const std::vector<face_iterator> cuts = cut_faces(triangulation, threads);
    std::vector<std::vector<bare_point>> found(cuts.size() - 1);
    run_jobs(static_cast<int>(found.size()), [&](int j) {
        for_each_finite_edge_from(triangulation, cuts[j], cuts[j + 1], midpoint_if_long(found[j]));
    });
    return joined(found, threads);
}

}  // namespace orvo::detail
