// Near-duplicate regions: overlap errors of polygonised ellipses, with a
// sweep over centres so that only regions close enough to overlap are
// compared.
#include "ellipse/near_duplicates.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <map>
#include <numeric>
#include <opencv2/imgproc.hpp>

#include "parallel/jobs.h"
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

const unit_polygon unit;

// The boundary relative to the centre, as an inscribed polygon: the frame
// maps the unit circle onto it.
std::vector<cv::Point2f> polygon(const Region& r)
{
    const cv::Matx22d frame = lower_triangular_frame({r.a, r.b, r.c});
    std::vector<cv::Point2f> points(SIDES);
    for (int k = 0; k < SIDES; ++k) {
        const double c = unit.cos[k], s = unit.sin[k];
        points[k] = cv::Point2f(static_cast<float>(frame(0, 0) * c + frame(0, 1) * s),
                                static_cast<float>(frame(1, 0) * c + frame(1, 1) * s));
    }
    return points;
}

// A region's centre, the radius of the circle about it that holds it and
// its polygon's area: what most comparisons need alone.
struct footprint {
    double x, y, radius, area;
};

// A region with what the comparisons need, computed once.
struct outline {
    double x, y;
    double radius;  // the major semi-axis: the ellipse lies in this circle
    double area;    // of the polygon
    double ellipse_area;
    double minor;            // the minor semi-axis
    cv::Matx22d matrix;      // the region's
    cv::Matx22d covariance;  // the inverse of the region's matrix
    cv::Point2d axis;        // the direction of the major axis
    std::vector<cv::Point2f> points;

    explicit outline(const Region& r)
        : x(r.x), y(r.y), points(polygon(r))
    {
        const semi_axes axes = ellipse_semi_axes({r.a, r.b, r.c});
        radius = axes.major;
        minor = axes.minor;
        matrix = cv::Matx22d(r.a, r.b, r.b, r.c);
        area = cv::contourArea(points);
        const double det = r.a * r.c - r.b * r.b;
        ellipse_area = CV_PI / std::sqrt(det);
        covariance = cv::Matx22d(r.c, -r.b, -r.b, r.a) * (1 / det);
        const double angle = 0.5 * std::atan2(-2 * r.b, r.c - r.a);
        axis = {std::cos(angle), std::sin(angle)};
    }

    footprint print() const { return {x, y, radius, area}; }

    // Half the ellipse's width across unit direction n.
    double half_width(const cv::Point2d& n) const
    {
        return std::sqrt(n.x * n.x * covariance(0, 0) + 2 * n.x * n.y * covariance(0, 1) +
                         n.y * n.y * covariance(1, 1));
    }
};

// The area of the unit disc on the side u . y <= t of a line.
double disc_below(double t)
{
    t = std::clamp(t, -1.0, 1.0);
    return t * std::sqrt(1 - t * t) + std::asin(t) + CV_PI / 2;
}

// The area of p's ellipse within the narrowest strip across unit direction
// n that holds q's: the ellipse is an affine disc, and the strip stays a
// strip.
double ellipse_in_strip(const outline& p, const outline& q, const cv::Point2d& n)
{
    const double width_p = p.half_width(n), width_q = q.half_width(n);
    const double offset = n.x * (q.x - p.x) + n.y * (q.y - p.y);
    return (disc_below((offset + width_q) / width_p) - disc_below((offset - width_q) / width_p)) / CV_PI *
           p.ellipse_area;
}

// True when an upper bound of the area common to the ellipses of p and q
// (and so to their inscribed polygons), times `factor`, is at most `limit`:
// the smaller ellipse, or either within a strip holding the other, across
// the line between their centres or across either's axes. The bounds are
// tried until one is low enough.
bool common_area_at_most(const outline& p, const outline& q, double factor, double limit)
{
    const auto low_enough = [&](double bound) { return bound * factor <= limit; };
    if (low_enough(std::min(p.ellipse_area, q.ellipse_area))) return true;
    const cv::Point2d between(q.x - p.x, q.y - p.y);
    const double distance = std::hypot(between.x, between.y);
    const cv::Point2d directions[] = {distance > 0 ? between / distance : p.axis, p.axis, {-p.axis.y, p.axis.x},
                                      q.axis, {-q.axis.y, q.axis.x}};
    for (const cv::Point2d& n : directions)
        if (low_enough(ellipse_in_strip(p, q, n)) || low_enough(ellipse_in_strip(q, p, n))) return true;
    return false;
}

// The inscribed polygons hold their ellipses shrunk by this factor about
// their centres: cos(pi / SIDES), less a margin for the single-precision
// corners (and the shift between the polygons), which stay within a
// 10,000th of the minor semi-axis while both regions' major semi-axes and
// the distance of their centres are within 1000 minor ones (checked).
const double INSCRIBED = std::cos(CV_PI / SIDES) - 1e-4;

// The sine of the angle between two rays of the lower bound below.
const double RAY_SINE = std::sin(2 * CV_PI / SIDES);

// Where the ray from o along the unit direction u leaves the ellipse of
// `matrix` about `centre` (o inside it), as a distance along u.
double exit_distance(const cv::Matx22d& matrix, const cv::Point2d& centre, const cv::Point2d& o, const cv::Point2d& u)
{
    const cv::Vec2d w(o.x - centre.x, o.y - centre.y), v(u.x, u.y);
    const double a = v.dot(matrix * v), b = v.dot(matrix * w), g = w.dot(matrix * w) - 1;
    return (-b + std::sqrt(b * b - a * g)) / a;
}

// True when a lower bound of the area common to the inscribed polygons of p
// and q is above `limit` (0 when none is found): the common part of their
// ellipses shrunk by INSCRIBED, which the polygons hold, is convex, and
// holds the polygon of its boundary points on SIDES rays from a point
// inside it. The polygon's triangles are added until they are enough.
bool common_area_above(const outline& p, const outline& q, double limit)
{
    const double distance = std::hypot(q.x - p.x, q.y - p.y), largest = 1000 * std::min(p.minor, q.minor);
    if (std::max({p.radius, q.radius, distance}) > largest) return 0 > limit;
    const double shrink = 1 / (INSCRIBED * INSCRIBED);
    const cv::Matx22d mp = p.matrix * shrink, mq = q.matrix * shrink;
    const cv::Point2d cp(p.x, p.y), cq(q.x, q.y);
    const auto inside = [](const cv::Matx22d& m, const cv::Point2d& centre, const cv::Point2d& o) {
        const cv::Vec2d w(o.x - centre.x, o.y - centre.y);
        return w.dot(m * w) < 1;
    };
    for (const cv::Point2d& o : {(cp + cq) / 2, cp, cq}) {
        if (!inside(mp, cp, o) || !inside(mq, cq, o)) continue;
        // Twice the triangles' areas over the sine of their angle; each
        // adds a share of no less than 0, so a partial sum above the
        // limit is enough.
        const auto area = [](double sum) { return sum * RAY_SINE / 2; };
        double first = 0, previous = 0, sum = 0;
        for (int k = 0; k < SIDES; ++k) {
            const cv::Point2d u(unit.cos[k], unit.sin[k]);
            const double r = std::min(exit_distance(mp, cp, o, u), exit_distance(mq, cq, o, u));
            if (k == 0) first = r;
            else sum += previous * r;
            if (area(sum) > limit) return true;
            previous = r;
        }
        sum += previous * first;
        return area(sum) > limit;
    }
    return 0 > limit;
}

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

// True when the circles around two regions are clearly apart (the margin
// covers the rounding of the squares): the regions do not intersect.
bool circles_apart(const footprint& p, const footprint& q)
{
    const double dx = p.x - q.x, dy = p.y - q.y, reach = p.radius + q.radius;
    return dx * dx + dy * dy > reach * reach * (1 + 1e-9);
}

// The area that the part common to p and q must exceed for their error to
// be below max_error (the union is at least the larger area).
double common_area_needed(const footprint& p, const footprint& q, double max_error)
{
    return (1 - max_error) * std::max(p.area, q.area);
}

// True when the error of p and q cannot be below max_error, seen from
// their footprints alone: the intersection is at most the smaller area and
// at most the lens of the circles around them. (Circles apart, which the
// caller has passed over already, have no lens.)
bool areas_apart(const footprint& p, const footprint& q, double max_error)
{
    const double limit = common_area_needed(p, q, max_error);
    return std::min(p.area, q.area) <= limit ||
           lens_area(std::hypot(p.x - q.x, p.y - q.y), p.radius, q.radius) <= limit;
}

// True when the error of p and q cannot be below max_error as the strips
// bound their common area: a bound of exact ellipses, with a margin far
// above its rounding and that of the polygons' single-precision corners.
bool strips_apart(const outline& p, const outline& q, double max_error)
{
    return common_area_at_most(p, q, 1 + 1e-5, common_area_needed(p.print(), q.print(), max_error));
}

// True when the error of p and q is surely below max_error: the common
// area of their polygons is bounded below by more than it takes (with a
// margin far above the rounding of both the bound and the polygons'
// intersection).
bool surely_repeats(const outline& p, const outline& q, double max_error)
{
    // 1 - I / (P + Q - I) < e  <=>  I > (1 - e) (P + Q) / (2 - e)
    return common_area_above(p, q, (1 + 1e-5) * (1 - max_error) * (p.area + q.area) / (2 - max_error));
}

}  // namespace

double overlap_error(const Region& p, const Region& q)
{
    return overlap_error(outline(p), outline(q));
}

namespace {

// The kept regions of the areas within a factor of each other (see
// drop_near_duplicates), ordered by centre x, each with its centre and
// radius at hand (most are passed over by them alone), and the largest of
// their radii.
struct area_class {
    struct entry {
        footprint print;
        int region;
    };
    std::vector<entry> kept;
    double widest = 0;

    void add(const outline& o, int region)
    {
        const auto at =
            std::upper_bound(kept.begin(), kept.end(), o.x, [](double v, const entry& e) { return v < e.print.x; });
        kept.insert(at, {o.print(), region});
        widest = std::max(widest, o.radius);
    }
    // Adds the entries of `other` (cleared).
    void take(area_class& other)
    {
        const std::size_t middle = kept.size();
        kept.insert(kept.end(), other.kept.begin(), other.kept.end());
        std::inplace_merge(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(middle), kept.end(),
                           [](const entry& a, const entry& b) { return a.print.x < b.print.x; });
        widest = std::max(widest, other.widest);
        other = {};
    }
};

// The area classes, each split by radius into bands of a factor 2 (so that
// the few wide regions of a class do not widen the sweep over the others):
// the kept regions by (area class, band).
using class_index = std::map<std::pair<long, int>, area_class>;

// The band of a radius.
int band_of(double radius)
{
    return std::ilogb(std::max(radius, 1e-300));
}

// Whether region i repeats one of those of `index` (compared with its own
// area class and the two next to it; within a class only with those whose
// circles can meet).
bool repeats_one_of(const class_index& index, const std::vector<outline>& outlines, const std::vector<long>& class_of,
                    int i, double max_error)
{
    const outline& candidate = outlines[i];
    const footprint print = candidate.print();
    for (auto group_at = index.lower_bound({class_of[i] - 1, INT_MIN});
         group_at != index.end() && group_at->first.first <= class_of[i] + 1; ++group_at) {
        const area_class& group = group_at->second;
        const double reach = candidate.radius + group.widest;
        auto k = std::lower_bound(group.kept.begin(), group.kept.end(), candidate.x - reach,
                                  [](const area_class::entry& e, double x) { return e.print.x < x; });
        for (; k != group.kept.end() && k->print.x <= candidate.x + reach; ++k) {
            if (circles_apart(k->print, print) || areas_apart(k->print, print, max_error)) continue;
            const outline& kept = outlines[k->region];
            if (strips_apart(kept, candidate, max_error)) continue;
            if (surely_repeats(kept, candidate, max_error) || overlap_error(kept, candidate) < max_error) return true;
        }
    }
    return false;
}

}  // namespace

std::vector<Region> drop_near_duplicates(const std::vector<Region>& regions, double max_error, int threads)
{
    std::vector<Region> result;
    for (const std::size_t i : near_duplicates_kept(regions, max_error, threads)) result.push_back(regions[i]);
    return result;
}

std::vector<std::size_t> near_duplicates_kept(const std::vector<Region>& regions, double max_error, int threads)
{
    std::vector<std::size_t> result;
    if (max_error <= 0 || max_error > 1) {
        result.resize(regions.size());
        std::iota(result.begin(), result.end(), 0);
        return result;
    }
    // Near-duplicates have areas within a factor 1 - max_error of each other,
    // so the kept regions are grouped by area in classes of that ratio and a
    // region is compared only with its own class and the two next to it.
    //
    // The regions are taken in blocks: every region of a block is compared,
    // on the threads, with those kept before the block; the rest, in order,
    // with those kept in the block before it. Each region is so compared with
    // every region kept before it, as if they were taken one by one.
    const double class_ratio = max_error < 1 ? -std::log(1 - max_error) : 1.0;
    const std::size_t n = regions.size();
    std::vector<outline> outlines;
    outlines.reserve(n);
    for (const Region& r : regions) outlines.emplace_back(r);
    std::vector<long> class_of(n);
    for (std::size_t i = 0; i < n; ++i)
        class_of[i] = std::lround(std::floor(std::log(std::max(outlines[i].area, 1e-300)) / class_ratio));

    constexpr std::size_t BLOCK = 1024;
    class_index before, in_block;
    std::vector<char> repeats(BLOCK);
    for (std::size_t begin = 0; begin < n; begin += BLOCK) {
        const std::size_t end = std::min(n, begin + BLOCK);
        run_in_shares(end - begin, threads, [&](std::size_t first, std::size_t last) {
            for (std::size_t k = first; k < last; ++k)
                repeats[k] = repeats_one_of(before, outlines, class_of, static_cast<int>(begin + k), max_error);
        });
        for (std::size_t i = begin; i < end; ++i) {
            if (repeats[i - begin] || repeats_one_of(in_block, outlines, class_of, static_cast<int>(i), max_error))
                continue;
            result.push_back(i);
            in_block[{class_of[i], band_of(outlines[i].radius)}].add(outlines[i], static_cast<int>(i));
        }
        for (auto& [c, group] : in_block) before[c].take(group);
        in_block.clear();
    }
    return result;
}

}  // namespace orvo::detail
