// Edge-point input: weighted edge points and gap midpoints into the alpha
// shape.
#include "edges/edge_points.h"

#include <chrono>
#include <opencv2/core.hpp>
#include <vector>

#include "edges/canny.h"

namespace {

// Inserts p with the effect of a plain insertion. The walk to p starts from
// `hint`, the face of the point inserted before, which lies close by along
// the traced edge. Only a point strictly inside a face has one location
// whatever the walk; on an edge, on a vertex or outside the hull the walk
// decides which face it reports, and with it the order of the faces the
// insertion creates, so such a point is located again from the library's
// own starting face.
void insert_point(Alpha_shape_2& A, const Weighted_point& p, Face_handle& hint)
{
    Alpha_shape_2::Locate_type lt;
    int li = 0;
    Face_handle located;
    if (A.dimension() == 2 && hint != Face_handle()) located = A.locate(p, lt, li, hint);
    if (located == Face_handle() || lt != Alpha_shape_2::FACE) located = A.locate(p, lt, li);
    const Alpha_shape_2::Vertex_handle v = A.insert(p, lt, located, li);
    if (v != Alpha_shape_2::Vertex_handle() && !v->is_hidden()) hint = v->face();
}

}  // namespace

void insert_weighted_points(const std::vector<cv::Point>& points, const cv::Mat& gradient, std::uint64_t step,
                            Alpha_shape_2& A, std::size_t& inserted, std::size_t& mids_found,
                            std::size_t& mids_inserted)
{
    const double half_step = static_cast<double>(step) * 0.5;
    const double s = half_step * half_step / 255.0;
    inserted = 0;
    Face_handle hint;
    for (const cv::Point& pt : points) {
        const double g = gradient.at<float>(pt.y, pt.x);
        if (g >= 10.0) {
            insert_point(A, Weighted_point(Point_2(pt.x, pt.y), g * s), hint);
            ++inserted;
        }
    }

    std::vector<Point_2> mids;
    get_intermediate_edge_points(A, mids, static_cast<double>(step));
    mids_found = mids.size();
    mids_inserted = 0;
    for (const Point_2& m : mids) {
        const int xi = static_cast<int>(m.x()), yi = static_cast<int>(m.y());
        const double g = gradient.at<float>(yi, xi);
        if (g >= 10.0) {
            insert_point(A, Weighted_point(Point_2(xi, yi), g * s), hint);
            ++mids_inserted;
        }
    }
}

void insert_edge_points(const cv::Mat& grey, int step, Alpha_shape_2& A, edge_input_counts* counts)
{
    const auto start = std::chrono::steady_clock::now();
    cv::Mat edges, gradient;
    std::vector<cv::Point> points;
    int high = 0, low = 0;
    returnGradAndCanny(grey, edges, gradient, 1.0, points, step, &high, &low);

    const auto canny_end = std::chrono::steady_clock::now();
    std::size_t inserted = 0, mids_found = 0, mids_inserted = 0;
    insert_weighted_points(points, gradient, static_cast<std::uint64_t>(step), A, inserted, mids_found, mids_inserted);

    if (counts) {
        using ms = std::chrono::duration<double, std::milli>;
        counts->canny_ms = ms(canny_end - start).count();
        counts->points_ms = ms(std::chrono::steady_clock::now() - canny_end).count();
        counts->high_threshold = high;
        counts->low_threshold = low;
        counts->edge_pixels = static_cast<std::size_t>(cv::countNonZero(edges));
        counts->sampled_points = points.size();
        counts->points_inserted = inserted;
        counts->midpoints_found = mids_found;
        counts->midpoints_inserted = mids_inserted;
    }
}
