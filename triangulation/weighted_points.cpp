// Weighted edge points and gap midpoints into the triangulation.
#include "triangulation/weighted_points.h"

#include <CGAL/spatial_sort.h>
#include <CGAL/Spatial_sort_traits_adapter_2.h>
#include <algorithm>
#include <boost/property_map/function_property_map.hpp>
#include <cmath>
#include <opencv2/core.hpp>
#include <vector>

#include "parallel/jobs.h"

namespace orvo::detail {
namespace {

// CGAL's spatial sort (a randomised Hilbert order, deterministic) of the
// points' bare positions.
void spatial_sort_range(std::vector<weighted_point>::iterator begin, std::vector<weighted_point>::iterator end,
                        const regular_triangulation& triangulation)
{
    using construct_point = kernel::Construct_point_2;
    using bare = boost::result_of<const construct_point(const weighted_point&)>::type;
    using bare_map = boost::function_property_map<construct_point, weighted_point, bare>;
    using sort_traits = CGAL::Spatial_sort_traits_adapter_2<kernel, bare_map>;
    CGAL::spatial_sort(begin, end,
                       sort_traits(boost::make_function_property_map<weighted_point, bare, construct_point>(
                                       triangulation.geom_traits().construct_point_2_object()),
                                   triangulation.geom_traits()));
}

// The points in the order they are inserted, each close to the one before
// whatever the shape of the image: the bounding box is cut along its longer
// side into squares, taken in order, and the points of each square are
// spatially sorted. (A Hilbert order of a whole thin strip runs along its
// length and back many times.)
void sort_for_insertion(std::vector<weighted_point>& points, const regular_triangulation& triangulation)
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
        return static_cast<long>(((wide ? p.x() - min_x : p.y() - min_y)) / side);
    };
    std::stable_sort(points.begin(), points.end(),
                     [&](const weighted_point& a, const weighted_point& b) { return square_of(a) < square_of(b); });
    for (auto begin = points.begin(); begin != points.end();) {
        const long square = square_of(*begin);
        auto end = std::find_if(begin, points.end(), [&](const weighted_point& p) { return square_of(p) != square; });
        spatial_sort_range(begin, end, triangulation);
        begin = end;
    }
}

// Inserts the points in spatial order, each located from the face of the one
// before. Returns the sum of the Chebyshev distances from each point to the
// one before it: the length of the walks that locate them, in pixels.
double insert_in_spatial_order(std::vector<weighted_point>& points, regular_triangulation& triangulation)
{
    sort_for_insertion(points, triangulation);
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
    std::vector<weighted_point> weighted;
    weighted.reserve(points.size());
    for (std::size_t k = 0; k < points.size(); ++k) {
        const cv::Point& pt = points[k];
        const double g = gradient.at<float>(pt.y, pt.x);
        if (g < MIN_GRADIENT) continue;
        const bare_point at = positions ? bare_point((*positions)[k].x, (*positions)[k].y) : bare_point(pt.x, pt.y);
        weighted.emplace_back(at, g * weight_per_gradient);
    }
    counts.points_inserted = weighted.size();
    counts.insertion_walk = insert_in_spatial_order(weighted, triangulation);

    const std::vector<bare_point> midpoints = gap_midpoints(triangulation, static_cast<double>(step), threads);
    counts.midpoints_found = midpoints.size();
    weighted.clear();
    for (const bare_point& m : midpoints) {
        const int xi = static_cast<int>(m.x()), yi = static_cast<int>(m.y());
        const double g = gradient.at<float>(yi, xi);
        if (g >= MIN_GRADIENT) weighted.emplace_back(positions ? m : bare_point(xi, yi), g * weight_per_gradient);
    }
    counts.midpoints_inserted = weighted.size();
    counts.insertion_walk += insert_in_spatial_order(weighted, triangulation);
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
    midpoints = std::move(found[0]);
    for (std::size_t j = 1; j < found.size(); ++j) midpoints.insert(midpoints.end(), found[j].begin(), found[j].end());
    return midpoints;
}

}  // namespace orvo::detail
