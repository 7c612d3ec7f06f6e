// Ellipse fitting by exact polygon moments of a digitised convex hull.
#include "ellipse/fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <opencv2/imgproc.hpp>

namespace orvo::detail {

void append_digital_segment(cv::Point p1, cv::Point p2, std::vector<cv::Point>& contour)
{
    const int dx = p2.x - p1.x, dy = p2.y - p1.y;
    // The squared length in 64 bits: a run of 46,341 pixels or more would
    // overflow an int. Below that the float it rounds to is the same.
    const std::int64_t squared = static_cast<std::int64_t>(dx) * dx + static_cast<std::int64_t>(dy) * dy;
    const float len = std::sqrt(static_cast<float>(squared));
    // A run of length 0 takes no steps; its direction is never used.
    const float ux = len > 0 ? static_cast<float>(dx) / len : 0.0f;
    const float uy = len > 0 ? static_cast<float>(dy) / len : 0.0f;
    const int steps = static_cast<int>(len + 0.5);
    for (int i = 0; i < steps; ++i) {
        const float sx = static_cast<float>(i) * ux;
        const float sy = static_cast<float>(i) * uy;
        const cv::Point p(static_cast<int>(static_cast<double>(sx) + 0.5 + p1.x),
                          static_cast<int>(static_cast<double>(sy) + 0.5 + p1.y));
        if (i == 0 || p != contour.back()) contour.push_back(p);
    }
    contour.push_back(p2);
}

namespace {

// Twice the signed area of the triangle (a, b, p): positive when p lies to
// the left of the line from a to b (in a y-up frame).
std::int64_t cross(cv::Point a, cv::Point b, cv::Point p)
{
    return static_cast<std::int64_t>(b.x - a.x) * (p.y - a.y) - static_cast<std::int64_t>(b.y - a.y) * (p.x - a.x);
}

// The leftmost, lowest, rightmost and highest of the points (the first of
// each in their order), a quadrilateral inside their hull.
template <class Point>
std::array<Point, 4> extreme_points(const std::vector<Point>& points)
{
    std::array<Point, 4> corner = {points[0], points[0], points[0], points[0]};
    for (const Point& p : points) {
        if (p.x < corner[0].x) corner[0] = p;
        if (p.y < corner[1].y) corner[1] = p;
        if (p.x > corner[2].x) corner[2] = p;
        if (p.y > corner[3].y) corner[3] = p;
    }
    return corner;
}

// How far inside a side from a along d a point must lie to be clearly
// inside it (convex_polygon_sides).
double side_tolerance(const cv::Point2d& d)
{
    return 1e-6 * std::sqrt(d.dot(d));
}

// Drops the points strictly inside the quadrilateral of the extreme points
// (leftmost, lowest, rightmost, highest): they cannot lie on the hull, so the
// hull is unchanged, and its sort has far fewer points to order. The others
// keep their order.
void drop_interior_points(std::vector<cv::Point>& points)
{
    const std::array<cv::Point, 4> corner = extreme_points(points);
    const auto inside = [&](const cv::Point& p) {
        int positive = 0, negative = 0;
        for (int k = 0; k < 4; ++k) {
            const std::int64_t side = cross(corner[k], corner[(k + 1) % 4], p);
            positive += side > 0;
            negative += side < 0;
        }
        return positive == 4 || negative == 4;
    };
    points.erase(std::remove_if(points.begin(), points.end(), inside), points.end());
}

// The same for exact positions, dropping only the points clearly inside
// the quadrilateral (walked leftmost, highest, rightmost, lowest: the turn of
// the hulls), by the test of convex_polygon_sides::clearly_inside.
void drop_interior_points(std::vector<cv::Point2d>& points)
{
    const std::array<cv::Point2d, 4> corner = extreme_points(points);
    const std::array<cv::Point2d, 4> start = {corner[0], corner[3], corner[2], corner[1]};
    std::array<cv::Point2d, 4> direction;
    std::array<double, 4> tolerance;
    for (std::size_t i = 0; i < 4; ++i) {
        direction[i] = start[(i + 1) % 4] - start[i];
        tolerance[i] = side_tolerance(direction[i]);
    }
    const auto clearly_inside = [&](const cv::Point2d& p) {
        for (std::size_t i = 0; i < 4; ++i)
            if (!(direction[i].cross(p - start[i]) < -tolerance[i])) return false;
        return true;
    };
    points.erase(std::remove_if(points.begin(), points.end(), clearly_inside), points.end());
}

}  // namespace

convex_polygon_sides::convex_polygon_sides(const std::vector<cv::Point2d>& polygon)
{
    start.reserve(polygon.size());
    direction.reserve(polygon.size());
    tolerance.reserve(polygon.size());
    for (std::size_t i = 0; i < polygon.size(); ++i) {
        start.push_back(polygon[i]);
        direction.push_back(polygon[(i + 1) % polygon.size()] - polygon[i]);
        tolerance.push_back(side_tolerance(direction.back()));
    }
}

std::vector<cv::Point2d> digitised_hull_boundary(std::vector<cv::Point> points)
{
    if (points.empty()) return {};
    points.push_back(points[0]);  // closed: the first point again at the end
    drop_interior_points(points);

    std::vector<int> hull;
    cv::convexHull(points, hull, true, false);
    const std::size_t h = hull.size();

    std::vector<cv::Point> boundary;
    if (h > 2) {
        for (std::size_t i = 1; i < h; ++i) {
            append_digital_segment(points[hull[i - 1]], points[hull[i]], boundary);
            boundary.push_back(points[hull[i]]);
        }
        append_digital_segment(points[hull[h - 1]], points[hull[0]], boundary);
    } else {
        for (int index : hull) boundary.push_back(points[index]);
    }
    return std::vector<cv::Point2d>(boundary.begin(), boundary.end());
}

std::vector<cv::Point2d> convex_hull_polygon(std::vector<cv::Point2d> points)
{
    if (points.size() > 8) drop_interior_points(points);
    std::sort(points.begin(), points.end(),
              [](const cv::Point2d& p, const cv::Point2d& q) { return p.x < q.x || (p.x == q.x && p.y < q.y); });
    points.erase(std::unique(points.begin(), points.end()), points.end());
    if (points.size() < 3) return points;
    // Andrew's monotone chain: the lower chain left to right, then the upper
    // one back, each dropping points that do not turn clockwise (in image
    // axes, y down) and so are not hull vertices.
    const auto turns = [](const cv::Point2d& a, const cv::Point2d& b, const cv::Point2d& c) {
        return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x) < 0;
    };
    // Both chains hold at most the points and the first one again.
    std::vector<cv::Point2d> chain;
    chain.reserve(points.size() + 1);
    const auto append = [&](const cv::Point2d& p, std::size_t lowest) {
        while (chain.size() >= lowest && !turns(chain[chain.size() - 2], chain.back(), p)) chain.pop_back();
        chain.push_back(p);
    };
    for (const cv::Point2d& p : points) append(p, 2);
    const std::size_t upper_from = chain.size() + 1;
    for (std::size_t i = points.size() - 1; i-- > 0;) append(points[i], upper_from);
    // The first point came round again. A hull of its own size: callers
    // keep hulls.
    return std::vector<cv::Point2d>(chain.begin(), chain.end() - 1);
}

moment_fit fit_ellipse_by_moments(const std::vector<cv::Point2d>& polygon, double scale)
{
    const std::size_t m = polygon.size();
    double S = 0, Sx = 0, Sy = 0, Sxx = 0, Syy = 0, Sxy = 0, farthest = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t j = i + 1 < m ? i + 1 : 0;
        const double x0 = polygon[i].x, x1 = polygon[j].x, y0 = polygon[i].y, y1 = polygon[j].y;
        farthest = std::max(farthest, x0 * x0 + y0 * y0);
        S += x1 * y0 - x0 * y1;
        Sx += (x0 * x0 + x0 * x1 + x1 * x1) * (y1 - y0);
        Sy += (y0 * y0 + y0 * y1 + y1 * y1) * (x1 - x0);
        Sxx += (x1 * x1 * x1 + x1 * x1 * x0 + x1 * x0 * x0 + x0 * x0 * x0) * (y1 - y0);
        Syy += (y1 * y1 * y1 + y1 * y1 * y0 + y1 * y0 * y0 + y0 * y0 * y0) * (x1 - x0);
        Sxy += ((3 * y1 * y1 + 2 * y1 * y0 + y0 * y0) * x1 + (y1 * y1 + 2 * y1 * y0 + 3 * y0 * y0) * x0) * (x1 - x0);
    }
    moment_fit fit;
    fit.twice_area = S;
    // Twice the area sums m products of coordinates up to `farthest`: within
    // 16 times its rounding error of 0 it may be rounding alone, the polygon
    // of points collinear but for it (sub-pixel edge points along a line),
    // whose moments would be noise.
    if (!(std::abs(S) > 32 * static_cast<double>(m + 2) * std::numeric_limits<double>::epsilon() * farthest))
        return fit;
    const double A = S / 2;
    const double mx = -Sx / (6 * A), my = Sy / (6 * A);
    const double cxx = scale * (-Sxx / (12 * A) - mx * mx);
    const double cyy = scale * (Syy / (12 * A) - my * my);
    const double cxy = scale * (Sxy / (24 * A) - mx * my);
    const double det = cxx * cyy - cxy * cxy;
    if (!(det > 0 && cxx > 0)) return fit;
    fit.ellipse = Region{mx, my, cyy / det, -cxy / det, cxx / det};
    return fit;
}

}  // namespace orvo::detail
