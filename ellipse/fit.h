// Ellipse fitting by moments: the centroid and the inverse of a multiple of
// the covariance of the region enclosed by a point set's convex hull, whose
// boundary is first digitised on the integer pixel grid.
#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "orvo/region.h"

namespace orvo::detail {

// The digitised convex-hull boundary of the pixel positions `points` (at
// least one): the hull walked in the image library's clockwise order, each
// straight run between hull vertices rasterised. With two or fewer hull
// vertices, the vertices alone.
std::vector<cv::Point2d> digitised_hull_boundary(std::vector<cv::Point> points);

// The convex hull of `points` (at least one) as a polygon on their exact
// positions, walked in the order digitised_hull_boundary walks (so that
// fit_ellipse_by_moments finds a positive area); with two or fewer hull
// vertices (all points on a line), those vertices alone.
std::vector<cv::Point2d> convex_hull_polygon(std::vector<cv::Point2d> points);

// The sides of a convex polygon walked as convex_hull_polygon walks its
// hulls, for telling the points clearly inside it: more than a millionth of
// a pixel inside every side (d x (p - a) < 0 for the side from a along d),
// so that rounding in a hull's turn tests cannot make such a point a vertex.
struct convex_polygon_sides {
    std::vector<cv::Point2d> start, direction;
    std::vector<double> tolerance;

    explicit convex_polygon_sides(const std::vector<cv::Point2d>& polygon);

    bool inside_side(std::size_t i, const cv::Point2d& p) const
    {
        return direction[i].cross(p - start[i]) < -tolerance[i];
    }

    // Side `first` is tried first (the one the point was found beside).
    bool clearly_inside(const cv::Point2d& p, std::size_t first = 0) const
    {
        if (!inside_side(first, p)) return false;
        for (std::size_t i = 0; i < start.size(); ++i)
            if (i != first && !inside_side(i, p)) return false;
        return true;
    }
};

// Appends the rasterised run from p1 to p2 (both included; p2 always
// appended, also when it repeats the last point).
void append_digital_segment(cv::Point p1, cv::Point p2, std::vector<cv::Point>& contour);

struct moment_fit {
    double twice_area = 0;          // twice the polygon's signed area
    std::optional<Region> ellipse;  // none for a degenerate polygon
};

// Moments of the closed polygon by Green's theorem: the ellipse centred on
// its centroid whose matrix is the inverse of `scale` times its covariance.
// No ellipse when the polygon has no area (or one that the rounding of its
// coordinates' products could give alone) or the scaled covariance is not
// positive definite.
moment_fit fit_ellipse_by_moments(const std::vector<cv::Point2d>& polygon, double scale);

}  // namespace orvo::detail
