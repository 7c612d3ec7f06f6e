// Near-duplicate regions: overlap errors of polygonised ellipses, with a
// sweep over centres so that only regions close enough to overlap are
// compared.
#include "ellipse/near_duplicates.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <opencv2/imgproc.hpp>

#include "ellipse/ellipse_matrix.h"

namespace orvo::detail {
namespace {

constexpr int SIDES = 32;

// The corners of the regular polygon inscribed in the unit circle.
struct unit_polygon {
    double cos[SIDES], sin[SIDES];
    unit_polygon()
    {
        for (int k = 0; k < SIDES; ++k) {
            const double t = 2 * CV_PI * k / SIDES;
            cos[k] = std::cos(t);
            sin[k] = std::sin(t);
        }
    }
};

// The boundary relative to the centre, as an inscribed polygon: the frame
// maps the unit circle onto it.
std::vector<cv::Point2f> polygon(const Region& r)
{
    static const unit_polygon unit;
    const cv::Matx22d frame = lower_triangular_frame({r.a, r.b, r.c});
    std::vector<cv::Point2f> points(SIDES);
    for (int k = 0; k < SIDES; ++k) {
        const double c = unit.cos[k], s = unit.sin[k];
        points[k] = cv::Point2f(static_cast<float>(frame(0, 0) * c + frame(0, 1) * s),
                                static_cast<float>(frame(1, 0) * c + frame(1, 1) * s));
    }
    return points;
}

// A region with what the comparisons need, computed once.
struct outline {
    double x, y;
    double radius;  // the major semi-axis: the ellipse lies in this circle
    double area;    // of the polygon
    std::vector<cv::Point2f> points;

    explicit outline(const Region& r)
        : x(r.x), y(r.y), radius(ellipse_semi_axes({r.a, r.b, r.c}).major), points(polygon(r))
    {
        area = cv::contourArea(points);
    }
};

// The area of the intersection of two discs of radii r1 and r2 whose
// centres are d apart.
double lens_area(double d, double r1, double r2)
{
    if (d >= r1 + r2) return 0;
    const double small = std::min(r1, r2), large = std::max(r1, r2);
    if (d <= large - small) return CV_PI * small * small;
    const double a1 = std::acos(std::clamp((d * d + r1 * r1 - r2 * r2) / (2 * d * r1), -1.0, 1.0));
    const double a2 = std::acos(std::clamp((d * d + r2 * r2 - r1 * r1) / (2 * d * r2), -1.0, 1.0));
    return r1 * r1 * (a1 - std::sin(2 * a1) / 2) + r2 * r2 * (a2 - std::sin(2 * a2) / 2);
}

double overlap_error(const outline& p, const outline& q)
{
    std::vector<cv::Point2f> shifted = q.points;
    const cv::Point2f shift(static_cast<float>(q.x - p.x), static_cast<float>(q.y - p.y));
    for (cv::Point2f& point : shifted) point += shift;
    std::vector<cv::Point2f> common;
    const double intersection = cv::intersectConvexConvex(p.points, shifted, common, true);
    const double union_area = p.area + q.area - intersection;
    return union_area > 0 ? 1 - intersection / union_area : 1.0;
}

// True when the error of p and q cannot be below max_error: the
// intersection is at most the smaller area and at most the lens of the
// circles around them, the union at least the larger area.
bool surely_distinct(const outline& p, const outline& q, double max_error)
{
    // Circles clearly apart (the margin covers the rounding of the squares)
    // have no lens: the intersection is empty.
    const double dx = p.x - q.x, dy = p.y - q.y, reach = p.radius + q.radius;
    if (dx * dx + dy * dy > reach * reach * (1 + 1e-9)) return true;
    const double larger = std::max(p.area, q.area);
    const double bound = std::min({p.area, q.area, lens_area(std::hypot(p.x - q.x, p.y - q.y), p.radius, q.radius)});
    return bound <= (1 - max_error) * larger;
}

}  // namespace

double overlap_error(const Region& p, const Region& q)
{
    return overlap_error(outline(p), outline(q));
}

std::vector<Region> drop_near_duplicates(const std::vector<Region>& regions, double max_error)
{
    if (max_error <= 0 || max_error > 1) return regions;
    // Near-duplicates have areas within a factor 1 - max_error of each other,
    // so the kept regions are grouped by area in classes of that ratio and a
    // region is compared only with its own class and the two next to it;
    // within a class, sorted by x, only with those whose circles can meet.
    struct area_class {
        std::vector<outline> kept;  // sorted by x
        double widest = 0;
    };
    const double class_ratio = max_error < 1 ? -std::log(1 - max_error) : 1.0;
    std::map<long, area_class> classes;
    std::vector<Region> result;
    for (const Region& r : regions) {
        outline candidate(r);
        const long own = std::lround(std::floor(std::log(std::max(candidate.area, 1e-300)) / class_ratio));
        bool duplicate = false;
        for (long c = own - 1; c <= own + 1 && !duplicate; ++c) {
            const auto found = classes.find(c);
            if (found == classes.end()) continue;
            const area_class& group = found->second;
            const double reach = candidate.radius + group.widest;
            auto k = std::lower_bound(group.kept.begin(), group.kept.end(), r.x - reach,
                                      [](const outline& o, double x) { return o.x < x; });
            for (; k != group.kept.end() && k->x <= r.x + reach && !duplicate; ++k)
                duplicate = !surely_distinct(*k, candidate, max_error) && overlap_error(*k, candidate) < max_error;
        }
        if (duplicate) continue;
        result.push_back(r);
        area_class& group = classes[own];
        group.widest = std::max(group.widest, candidate.radius);
        const auto at = std::upper_bound(group.kept.begin(), group.kept.end(), r.x,
                                         [](double x, const outline& o) { return x < o.x; });
        group.kept.insert(at, std::move(candidate));
    }
    return result;
}

}  // namespace orvo::detail
