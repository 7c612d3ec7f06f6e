// Edge-point input: weighted edge points and gap midpoints into the alpha
// shape.
#include "edges/edge_points.h"

#include <CGAL/spatial_sort.h>
#include <CGAL/Spatial_sort_traits_adapter_2.h>
#include <algorithm>
#include <boost/property_map/function_property_map.hpp>
#include <chrono>
#include <cmath>
#include <opencv2/core.hpp>
#include <vector>

#include "edges/canny.h"

namespace {

// CGAL's spatial sort (a randomised Hilbert order, deterministic) of the
// points' bare positions.
void spatial_sort_range(std::vector<Weighted_point>::iterator begin, std::vector<Weighted_point>::iterator end,
                        const Alpha_shape_2& A)
{
    using Construct_point = K::Construct_point_2;
    using Bare = boost::result_of<const Construct_point(const Weighted_point&)>::type;
    using Bare_map = boost::function_property_map<Construct_point, Weighted_point, Bare>;
    using Sort_traits = CGAL::Spatial_sort_traits_adapter_2<K, Bare_map>;
    CGAL::spatial_sort(begin, end,
                       Sort_traits(boost::make_function_property_map<Weighted_point, Bare, Construct_point>(
                                       A.geom_traits().construct_point_2_object()),
                                   A.geom_traits()));
}

// The points in the order they are inserted, each close to the one before
// whatever the shape of the image: the bounding box is cut along its longer
// side into squares, taken in order, and the points of each square are
// spatially sorted. (A Hilbert order of a whole thin strip runs along its
// length and back many times.)
void sort_for_insertion(std::vector<Weighted_point>& points, const Alpha_shape_2& A)
{
    if (points.empty()) return;
    double min_x = points[0].x(), max_x = min_x, min_y = points[0].y(), max_y = min_y;
    for (const Weighted_point& p : points) {
        min_x = std::min(min_x, p.x());
        max_x = std::max(max_x, p.x());
        min_y = std::min(min_y, p.y());
        max_y = std::max(max_y, p.y());
    }
    const bool wide = max_x - min_x >= max_y - min_y;
    const double side = std::max(1.0, wide ? max_y - min_y : max_x - min_x);
    auto square_of = [&](const Weighted_point& p) {
        return static_cast<long>(((wide ? p.x() - min_x : p.y() - min_y)) / side);
    };
    std::stable_sort(points.begin(), points.end(),
                     [&](const Weighted_point& a, const Weighted_point& b) { return square_of(a) < square_of(b); });
    for (auto begin = points.begin(); begin != points.end();) {
        const long square = square_of(*begin);
        auto end = std::find_if(begin, points.end(), [&](const Weighted_point& p) { return square_of(p) != square; });
        spatial_sort_range(begin, end, A);
        begin = end;
    }
}

// Inserts the points in spatial order, each located from the face of the one
// before. Adds to `walk` the Chebyshev distance from each point to the one
// before it: the length of the walks that locate them, in pixels.
void insert_in_spatial_order(std::vector<Weighted_point>& points, Alpha_shape_2& A, double& walk)
{
    sort_for_insertion(points, A);
    Face_handle hint;
    for (std::size_t k = 0; k < points.size(); ++k) {
        if (k > 0)
            walk += std::max(std::abs(points[k].x() - points[k - 1].x()), std::abs(points[k].y() - points[k - 1].y()));
        hint = A.insert(points[k], hint)->face();
    }
}

}  // namespace

void insert_weighted_points(const std::vector<cv::Point>& points, const cv::Mat& gradient, std::uint64_t step,
                            Alpha_shape_2& A, edge_input_counts& counts)
{
    const auto start = std::chrono::steady_clock::now();
    const double half_step = static_cast<double>(step) * 0.5;
    const double s = half_step * half_step / 255.0;
    std::vector<Weighted_point> weighted;
    for (const cv::Point& pt : points) {
        const double g = gradient.at<float>(pt.y, pt.x);
        if (g >= 10.0) weighted.emplace_back(Point_2(pt.x, pt.y), g * s);
    }
    counts.points_inserted = weighted.size();
    counts.insertion_walk = 0;
    insert_in_spatial_order(weighted, A, counts.insertion_walk);

    std::vector<Point_2> mids;
    get_intermediate_edge_points(A, mids, static_cast<double>(step));
    counts.midpoints_found = mids.size();
    weighted.clear();
    for (const Point_2& m : mids) {
        const int xi = static_cast<int>(m.x()), yi = static_cast<int>(m.y());
        const double g = gradient.at<float>(yi, xi);
        if (g >= 10.0) weighted.emplace_back(Point_2(xi, yi), g * s);
    }
    counts.midpoints_inserted = weighted.size();
    insert_in_spatial_order(weighted, A, counts.insertion_walk);
    counts.points_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

sampled_edges sample_edges(const cv::Mat& grey, const std::vector<int>& steps, int threads)
{
    const auto start = std::chrono::steady_clock::now();
    sampled_edges result;
    cv::Mat edges;
    returnGradAndCanny(grey, edges, result.gradient, 1.0, steps, result.points, &result.high_threshold,
                       &result.low_threshold, threads);
    result.edge_pixels = static_cast<std::size_t>(cv::countNonZero(edges));
    result.canny_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return result;
}
