// Ellipse fitting by exact polygon moments of a digitised convex hull.
#include "ellipse/fit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <opencv2/imgproc.hpp>

int myGetLineFromEndPts(cv::Point p1, cv::Point p2, std::vector<cv::Point>& contour)
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
    return 1;
}

namespace {

// Twice the signed area of the triangle (a, b, p): positive when p lies to
// the left of the line from a to b (in a y-up frame).
std::int64_t cross(cv::Point a, cv::Point b, cv::Point p)
{
    return static_cast<std::int64_t>(b.x - a.x) * (p.y - a.y) - static_cast<std::int64_t>(b.y - a.y) * (p.x - a.x);
}

// Drops the points strictly inside the quadrilateral of the extreme points
// (leftmost, lowest, rightmost, highest): they cannot lie on the hull, so the
// hull is unchanged, and its sort has far fewer points to order. The others
// keep their order.
void drop_interior_points(std::vector<cv::Point>& points)
{
    cv::Point corner[4] = {points[0], points[0], points[0], points[0]};
    for (const cv::Point& p : points) {
        if (p.x < corner[0].x) corner[0] = p;
        if (p.y < corner[1].y) corner[1] = p;
        if (p.x > corner[2].x) corner[2] = p;
        if (p.y > corner[3].y) corner[3] = p;
    }
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

}  // namespace

void calc_convex_hulls(std::vector<cv::Point> points, std::vector<double>& hull_x, std::vector<double>& hull_y)
{
    if (points.empty()) return;
    points.push_back(points[0]);  // closed: the first point again at the end
    drop_interior_points(points);

    std::vector<int> hull;
    cv::convexHull(points, hull, true, false);
    const std::size_t h = hull.size();

    std::vector<cv::Point> boundary;
    if (h > 2) {
        for (std::size_t i = 1; i < h; ++i) {
            myGetLineFromEndPts(points[hull[i - 1]], points[hull[i]], boundary);
            boundary.push_back(points[hull[i]]);
        }
        myGetLineFromEndPts(points[hull[h - 1]], points[hull[0]], boundary);
    } else {
        for (int index : hull) boundary.push_back(points[index]);
    }
    for (const cv::Point& p : boundary) {
        hull_x.push_back(p.x);
        hull_y.push_back(p.y);
    }
}

double fitEllipseMOMENTS(std::vector<double> X, std::vector<double> Y, double k, std::vector<double>& params,
                         double& size)
{
    const std::size_t m = X.size();
    double S = 0, Sx = 0, Sy = 0, Sxx = 0, Syy = 0, Sxy = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t j = i + 1 < m ? i + 1 : 0;
        const double x0 = X[i], x1 = X[j], y0 = Y[i], y1 = Y[j];
        S += x1 * y0 - x0 * y1;
        Sx += (x0 * x0 + x0 * x1 + x1 * x1) * (y1 - y0);
        Sy += (y0 * y0 + y0 * y1 + y1 * y1) * (x1 - x0);
        Sxx += (x1 * x1 * x1 + x1 * x1 * x0 + x1 * x0 * x0 + x0 * x0 * x0) * (y1 - y0);
        Syy += (y1 * y1 * y1 + y1 * y1 * y0 + y1 * y0 * y0 + y0 * y0 * y0) * (x1 - x0);
        Sxy += ((3 * y1 * y1 + 2 * y1 * y0 + y0 * y0) * x1 + (y1 * y1 + 2 * y1 * y0 + 3 * y0 * y0) * x0) * (x1 - x0);
    }
    size = S;

    const double A = S / 2;
    if (A == 0) {
        params.push_back(-1);
        return -1;
    }
    const double mx = -Sx / (6 * A), my = Sy / (6 * A);
    const double cxx = k * (-Sxx / (12 * A) - mx * mx);
    const double cyy = k * (Syy / (12 * A) - my * my);
    const double cxy = k * (Sxy / (24 * A) - mx * my);
    const double det = cxx * cyy - cxy * cxy;
    if (!(det > 0)) {
        params.push_back(-1);
        return -1;
    }
    params.insert(params.end(), {mx, my, cyy / det, -cxy / det, -cxy / det, cxx / det});
    return 0;
}
