// Ellipse fitting, extraction, the ellipse file and the drawing.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <tuple>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <opencv2/imgproc.hpp>

#include "ellipse/edge_hull.h"
#include "ellipse/ellipse_matrix.h"
#include "ellipse/extract.h"
#include "ellipse/nested_hulls.h"
#include "ellipse/fit.h"
#include "orvo/orvo.h"
#include "tests/test_support.h"
#include "tree/face_table.h"
#include "triangulation/alpha_values.h"

using namespace orvo::detail;

namespace {

std::vector<cv::Point2d> polygon(const std::vector<double>& x, const std::vector<double>& y)
{
    std::vector<cv::Point2d> points;
    for (std::size_t i = 0; i < x.size(); ++i) points.emplace_back(x[i], y[i]);
    return points;
}

void expect_region(const orvo::Region& r, const orvo::Region& expected)
{
    EXPECT_EQ(r.x, expected.x);
    EXPECT_EQ(r.y, expected.y);
    EXPECT_EQ(r.a, expected.a);
    EXPECT_EQ(r.b, expected.b);
    EXPECT_EQ(r.c, expected.c);
}

}  // namespace

TEST(Fit, RectangleInBothOrientations)
{
    for (bool reversed : {false, true}) {
        std::vector<double> x = {0, 0, 4, 4}, y = {0, 2, 2, 0};
        if (reversed) {
            std::reverse(x.begin(), x.end());
            std::reverse(y.begin(), y.end());
        }
        const moment_fit fit = fit_ellipse_by_moments(polygon(x, y), 4);
        EXPECT_EQ(fit.twice_area, reversed ? -16 : 16);
        ASSERT_TRUE(fit.ellipse);
        EXPECT_DOUBLE_EQ(fit.ellipse->x, 2);
        EXPECT_DOUBLE_EQ(fit.ellipse->y, 1);
        EXPECT_DOUBLE_EQ(fit.ellipse->a, 3.0 / 16);
        EXPECT_NEAR(fit.ellipse->b, 0, 1e-15);
        EXPECT_DOUBLE_EQ(fit.ellipse->c, 3.0 / 4);
    }
}

TEST(Fit, DenselySampledEllipseGivesItsOwnBoundary)
{
    const double angle = 30 * M_PI / 180;
    std::vector<double> x, y;
    for (int i = 0; i < 20000; ++i) {
        const double t = 2 * M_PI * i / 20000;
        const double u = 10 * std::cos(t), v = 5 * std::sin(t);
        x.push_back(3 + u * std::cos(angle) - v * std::sin(angle));
        y.push_back(4 + u * std::sin(angle) + v * std::cos(angle));
    }
    const std::optional<orvo::Region> e = fit_ellipse_by_moments(polygon(x, y), 4).ellipse;
    ASSERT_TRUE(e);
    EXPECT_NEAR(e->x, 3, 1e-9);
    EXPECT_NEAR(e->y, 4, 1e-9);
    const semi_axes axes = ellipse_semi_axes({e->a, e->b, e->c});
    EXPECT_NEAR(axes.major, 10, 1e-4);
    EXPECT_NEAR(axes.minor, 5, 1e-4);
    EXPECT_NEAR(major_axis_degrees({e->a, e->b, e->c}), 30, 1e-4);
}

TEST(Fit, DegenerateInputFails)
{
    for (std::vector<double> x : {std::vector<double>{1}, std::vector<double>{1, 5}, std::vector<double>{}}) {
        const moment_fit fit = fit_ellipse_by_moments(polygon(x, std::vector<double>(x.size(), 2.0)), 4);
        EXPECT_EQ(fit.twice_area, 0);
        EXPECT_FALSE(fit.ellipse);
    }
    // Collinear points: a hull of two vertices, no area.
    const std::vector<cv::Point2d> hull = digitised_hull_boundary({{0, 0}, {1, 1}, {3, 3}, {7, 7}});
    EXPECT_LE(hull.size(), 2u);
    EXPECT_FALSE(fit_ellipse_by_moments(hull, 4).ellipse);
}

TEST(Fit, ExactHullOfARotatedRectangleGivesItsMoments)
{
    // A 12.5 x 5 rectangle along (4, 3) / 5 about (5.25, 7.75), its corners,
    // points on its sides and inside, shuffled (all of them binary fractions
    // computed exactly: the side points lie exactly on the sides). The hull
    // is the four corners; the ellipse that of the rectangle's moments
    // (variances 12.5^2 / 12 and 5^2 / 12 along its axes, scaled by 4).
    const auto at = [](double u, double v) { return cv::Point2d(5.25 + 4 * u - 3 * v, 7.75 + 3 * u + 4 * v); };
    std::vector<cv::Point2d> points = {at(-1.25, -0.5), at(1.25, -0.5), at(1.25, 0.5), at(-1.25, 0.5)};
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> along(-40, 40), across(-16, 16);  // in 32nds
    for (int k = 0; k < 40; ++k) {
        const double u = along(rng) / 32.0, v = across(rng) / 32.0;
        points.push_back(k % 3 == 0 ? at(u, v) : k % 3 == 1 ? at(u, k % 2 ? 0.5 : -0.5) : at(k % 2 ? 1.25 : -1.25, v));
    }
    std::shuffle(points.begin(), points.end(), rng);
    const std::vector<cv::Point2d> hull = convex_hull_polygon(points);
    ASSERT_EQ(hull.size(), 4u);
    const moment_fit fit = fit_ellipse_by_moments(hull, 4);
    EXPECT_NEAR(fit.twice_area, 2 * 62.5, 1e-9);
    ASSERT_TRUE(fit.ellipse);
    EXPECT_NEAR(fit.ellipse->x, 5.25, 1e-12);
    EXPECT_NEAR(fit.ellipse->y, 7.75, 1e-12);
    const double major = 4 * 12.5 * 12.5 / 12, minor = 4 * 25 / 12.0, c = 0.8, s = 0.6;
    EXPECT_NEAR(fit.ellipse->a, c * c / major + s * s / minor, 1e-12);
    EXPECT_NEAR(fit.ellipse->b, c * s / major - c * s / minor, 1e-12);
    EXPECT_NEAR(fit.ellipse->c, s * s / major + c * c / minor, 1e-12);
    // Collinear and repeated points: no more than two hull vertices, no ellipse.
    EXPECT_LE(convex_hull_polygon({{0, 0}, {1.5, 1}, {3, 2}, {3, 2}, {6, 4}}).size(), 2u);
    EXPECT_FALSE(fit_ellipse_by_moments(convex_hull_polygon({{0, 0}, {1.5, 1}, {6, 4}}), 4).ellipse);
}

TEST(Fit, HullWidenedToTheEdgePixelsOfACircle)
{
    // The edge pixels of a circle of radius 20 about (40.3, 39.6), each at its
    // exact place on the circle, and one more pixel 4 pixels outside it. The
    // hull of ten of them, about 12.6 pixels apart as sampled edge points
    // are, is widened to the circle (whose ellipse is itself) and not to the
    // pixel beyond the margin.
    const cv::Point2d centre(40.3, 39.6);
    std::vector<cv::Point> pixels;
    std::vector<cv::Point2d> positions;
    for (int k = 0; k < 720; ++k) {
        const cv::Point2d p = centre + 20.0 * cv::Point2d(std::cos(k * M_PI / 360), std::sin(k * M_PI / 360));
        const cv::Point pixel(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
        if (!pixels.empty() && (pixel == pixels.back() || pixel == pixels.front())) continue;
        pixels.push_back(pixel);
        positions.push_back(p);
    }
    pixels.emplace_back(64, 40);
    positions.emplace_back(64.3, 39.6);
    const edge_pixel_map edges = map_edge_pixels({80, 80}, positions);
    std::vector<cv::Point2d> sampled;
    for (std::size_t k = 0; k < 10; ++k) sampled.push_back(positions[k * (positions.size() - 1) / 10]);
    const moment_fit fit = fit_ellipse_by_moments(hull_with_edge_pixels(convex_hull_polygon(sampled), edges), 4);
    ASSERT_TRUE(fit.ellipse);
    EXPECT_NEAR(fit.ellipse->x, centre.x, 0.01);
    EXPECT_NEAR(fit.ellipse->y, centre.y, 0.01);
    EXPECT_NEAR(fit.ellipse->a, 1 / 400.0, 1e-5);
    EXPECT_NEAR(fit.ellipse->b, 0, 1e-5);
    EXPECT_NEAR(fit.ellipse->c, 1 / 400.0, 1e-5);
}

TEST(Fit, ExactHullIsConvexHoldsEveryPointAndIgnoresInteriorOnes)
{
    // Random clouds of sub-pixel points, some on a coarse grid so that many
    // lie on one line: the hull's vertices are points of the cloud, every
    // corner turns the same way, every point lies inside or on it, and
    // points added strictly inside (near its sides too) leave it unchanged.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<cv::Point2d> cloud(3 + rng() % 200);
        const bool grid = trial % 2 == 0;
        for (cv::Point2d& p : cloud) {
            p = {100 + 40 * unit(rng), 300 + 25 * unit(rng)};
            if (grid) p = {std::floor(p.x / 4) * 4, std::floor(p.y / 4) * 4 + 0.5};
        }
        const std::vector<cv::Point2d> hull = convex_hull_polygon(cloud);
        if (hull.size() < 3) continue;
        const std::size_t h = hull.size();
        for (std::size_t i = 0; i < h; ++i) {
            EXPECT_NE(std::find(cloud.begin(), cloud.end(), hull[i]), cloud.end());
            const cv::Point2d a = hull[i], d = hull[(i + 1) % h] - a;
            EXPECT_LT(d.cross(hull[(i + 2) % h] - a), 0) << "trial " << trial;
            for (const cv::Point2d& p : cloud) EXPECT_LE(d.cross(p - a), 1e-9) << "trial " << trial;
        }
        std::vector<cv::Point2d> more = cloud;
        for (int k = 0; k < 100; ++k) {
            const std::size_t i = rng() % h;
            const double s = unit(rng), inward = 0.001 + 0.998 * unit(rng);
            const cv::Point2d on_side = hull[i] + (hull[(i + 1) % h] - hull[i]) * (0.01 + 0.98 * s);
            const cv::Point2d centre = (hull[0] + hull[h / 3] + hull[2 * h / 3]) / 3;
            more.push_back(on_side + (centre - on_side) * inward);
        }
        EXPECT_EQ(convex_hull_polygon(more), hull) << "trial " << trial;
    }
}

TEST(Fit, WidenedHullByCellsIsTheHullOfEveryPixelWithinTheMargin)
{
    // Random hulls of every size over random edge pixels (each moved up to a
    // pixel along its row or column, as sub-pixel positions are; some
    // exactly on a hull vertex or edge, some at the image's border): the
    // widened hull equals that of the hull and of every edge pixel within
    // the margin of one of its edges, found by looking at them all.
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int trial = 0; trial < 400; ++trial) {
        const cv::Size size(1 + static_cast<int>(rng() % 60), 1 + static_cast<int>(rng() % 60));
        const auto place = [&] { return cv::Point2d(unit(rng) * (size.width - 1), unit(rng) * (size.height - 1)); };
        std::vector<cv::Point2d> corners(3 + rng() % 12);
        for (cv::Point2d& p : corners) p = place();
        const std::vector<cv::Point2d> hull = convex_hull_polygon(corners);
        std::vector<cv::Point2d> positions;
        for (int k = 0, count = static_cast<int>(rng() % 400); k < count; ++k) {
            cv::Point2d p(static_cast<int>(rng() % size.width), static_cast<int>(rng() % size.height));
            (rng() % 2 ? p.x : p.y) += 2 * unit(rng) - 1;
            p.x = std::clamp(p.x, 0.0, size.width - 1.0);
            p.y = std::clamp(p.y, 0.0, size.height - 1.0);
            positions.push_back(p);
        }
        for (std::size_t i = 0; i < hull.size() && hull.size() >= 3; ++i) {
            positions.push_back(hull[i]);
            positions.push_back(hull[i] + (hull[(i + 1) % hull.size()] - hull[i]) * unit(rng));
        }
        std::vector<cv::Point2d> expected = hull;
        for (const cv::Point2d& p : positions) {
            for (std::size_t i = 0; i < hull.size(); ++i) {
                const cv::Point2d a = hull[i], d = hull[(i + 1) % hull.size()] - a;
                const cv::Point2d off = p - (a + d * std::clamp((p - a).dot(d) / d.dot(d), 0.0, 1.0));
                if (off.dot(off) <= EDGE_HULL_MARGIN * EDGE_HULL_MARGIN) {
                    expected.push_back(p);
                    break;
                }
            }
        }
        expected = hull.size() < 3 ? hull : convex_hull_polygon(expected);
        EXPECT_EQ(hull_with_edge_pixels(hull, map_edge_pixels(size, positions)), expected) << "trial " << trial;
    }
}

TEST(Fit, WidenedHullOfThinHullsTakesEveryPixelNotClearlyInside)
{
    // Thin hulls, their corners within a fraction of a pixel of a line, some
    // with sides of every length down to a thousandth of a pixel: a pixel
    // near one side can then be near the line of another far along it (some
    // pixels lie on those lines). A pixel near a side that is not clearly
    // inside lies outside that side or one of those it reaches, and the
    // widened hull is that of the hull and of every such pixel.
    std::mt19937 rng(23);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int trial = 0; trial < 300; ++trial) {
        const cv::Size size(80, 60);
        const cv::Point2d from(5 + 20 * unit(rng), 5 + 50 * unit(rng)), to(55 + 20 * unit(rng), 5 + 50 * unit(rng));
        const double width = trial % 3 == 0 ? 1e-3 : 0.6 * unit(rng);
        const cv::Point2d normal = cv::Point2d(from.y - to.y, to.x - from.x) / cv::norm(to - from);
        std::vector<cv::Point2d> corners(3 + rng() % 30);
        for (cv::Point2d& p : corners) {
            const double t = trial % 2 == 0 ? std::pow(unit(rng), 6) : unit(rng);
            p = from + (to - from) * t + normal * (width * (unit(rng) - 0.5));
        }
        const std::vector<cv::Point2d> hull = convex_hull_polygon(corners);
        if (hull.size() < 3) continue;
        std::vector<cv::Point2d> positions;
        for (int k = 0; k < 600; ++k) {
            const cv::Point2d along = from + (to - from) * (1.2 * unit(rng) - 0.1);
            positions.push_back(along + normal * (6 * unit(rng) - 3));
            positions.back().x = std::clamp(positions.back().x, 0.0, size.width - 1.0);
            positions.back().y = std::clamp(positions.back().y, 0.0, size.height - 1.0);
        }
        // Pixels on the sides' lines beyond the sides, within the tolerance
        // of one side and near others.
        for (std::size_t j = 0; j < hull.size(); ++j) {
            const cv::Point2d on_line = hull[j] + (hull[(j + 1) % hull.size()] - hull[j]) * (8 * unit(rng) - 4);
            if (on_line.inside(cv::Rect2d(0, 0, size.width - 1, size.height - 1))) positions.push_back(on_line);
        }
        const convex_polygon_sides sides(hull);
        std::vector<cv::Point2d> expected = hull;
        std::vector<std::size_t> reached;
        for (std::size_t i = 0; i < hull.size(); ++i) {
            const cv::Point2d a = hull[i], d = hull[(i + 1) % hull.size()] - a;
            sides_reached_from(sides, i, reached);
            for (const cv::Point2d& p : positions) {
                const cv::Point2d off = p - (a + d * std::clamp((p - a).dot(d) / d.dot(d), 0.0, 1.0));
                if (off.dot(off) > EDGE_HULL_MARGIN * EDGE_HULL_MARGIN || sides.clearly_inside(p)) continue;
                expected.push_back(p);
                // Not clearly inside: outside side i or a side it reaches.
                bool found = !sides.inside_side(i, p);
                for (const std::size_t j : reached) found = found || !sides.inside_side(j, p);
                EXPECT_TRUE(found) << "trial " << trial << ", side " << i;
            }
        }
        EXPECT_EQ(hull_with_edge_pixels(hull, map_edge_pixels(size, positions)), convex_hull_polygon(expected))
            << "trial " << trial;
    }
}

TEST(Fit, WideningDoesNotDependOnTheWideningsBeforeItOrOnTheThread)
{
    // Random hulls widened over two maps of different sizes, many of them
    // over the same edge pixels: in turn, then in the reverse order, then on
    // two threads at once, each widened hull is the one found when it is
    // the first widening of a thread (the pixels one widening takes do not
    // carry over to the next).
    std::mt19937 rng(13);
    std::uniform_real_distribution<double> unit(0, 1);
    const auto place = [&](cv::Size size) {
        return cv::Point2d(unit(rng) * (size.width - 1), unit(rng) * (size.height - 1));
    };
    const cv::Size sizes[] = {{30, 20}, {90, 70}};
    std::vector<edge_pixel_map> maps;
    for (const cv::Size& size : sizes) {
        std::vector<cv::Point2d> positions(size.area() / 2);
        for (cv::Point2d& p : positions) p = place(size);
        maps.push_back(map_edge_pixels(size, positions));
    }
    std::vector<std::vector<cv::Point2d>> hulls;
    std::vector<int> map_of;
    while (hulls.size() < 80) {
        const int m = static_cast<int>(hulls.size() % 2);
        std::vector<cv::Point2d> corners(3 + rng() % 8);
        for (cv::Point2d& p : corners) p = place(sizes[m]);
        if (convex_hull_polygon(corners).size() < 3) continue;
        hulls.push_back(convex_hull_polygon(corners));
        map_of.push_back(m);
    }
    const auto widened = [&](std::size_t k) { return hull_with_edge_pixels(hulls[k], maps[map_of[k]]); };
    std::vector<std::vector<cv::Point2d>> first(hulls.size()), in_turn(hulls.size()), on_threads(hulls.size());
    for (std::size_t k = 0; k < hulls.size(); ++k) std::thread([&] { first[k] = widened(k); }).join();
    for (std::size_t k = 0; k < hulls.size(); ++k) in_turn[k] = widened(k);
    EXPECT_EQ(in_turn, first);
    for (std::size_t k = hulls.size(); k-- > 0;) in_turn[k] = widened(k);
    EXPECT_EQ(in_turn, first);
    std::thread odd([&] {
        for (std::size_t k = 1; k < hulls.size(); k += 2) on_threads[k] = widened(k);
    });
    for (std::size_t k = 0; k < hulls.size(); k += 2) on_threads[k] = widened(k);
    odd.join();
    EXPECT_EQ(on_threads, first);
}

TEST(Fit, HullIsTheImageLibrarysHullOfAllThePoints)
{
    // Random clouds, dense and sparse, with repeated points: the digitised
    // boundary passes through the image library's hull of every point (the
    // first one twice, as the boundary is built from), in its order and
    // from its first vertex.
    std::mt19937 rng(5);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<cv::Point> points(1 + rng() % 300);
        const int spread = 1 + static_cast<int>(rng() % 80);
        for (cv::Point& p : points) p = {static_cast<int>(rng() % spread), static_cast<int>(rng() % spread)};
        std::vector<cv::Point> closed = points, expected;
        closed.push_back(points[0]);
        cv::convexHull(closed, expected, true, true);

        std::vector<cv::Point> vertices;
        for (const cv::Point2d& q : digitised_hull_boundary(points)) {
            const cv::Point p(static_cast<int>(q.x), static_cast<int>(q.y));
            const bool is_vertex = std::find(expected.begin(), expected.end(), p) != expected.end();
            if (is_vertex && (vertices.empty() || vertices.back() != p)) vertices.push_back(p);
        }
        if (vertices.size() > 1 && vertices.back() == vertices.front()) vertices.pop_back();
        ASSERT_EQ(vertices, expected) << trial;
    }
}

TEST(Fit, RasterisedRuns)
{
    std::vector<cv::Point> run;
    append_digital_segment({0, 0}, {3, 0}, run);
    EXPECT_EQ(run, (std::vector<cv::Point>{{0, 0}, {1, 0}, {2, 0}, {3, 0}}));
    run.clear();
    append_digital_segment({5, 5}, {5, 5}, run);
    EXPECT_EQ(run, (std::vector<cv::Point>{{5, 5}}));
    run.clear();
    append_digital_segment({0, 0}, {2, 4}, run);
    EXPECT_EQ(run, (std::vector<cv::Point>{{0, 0}, {0, 1}, {1, 2}, {1, 3}, {2, 4}}));
    // Runs longer than 46,340 pixels, whose squared length exceeds an int.
    run.clear();
    append_digital_segment({0, 7}, {50000, 7}, run);
    ASSERT_EQ(run.size(), 50001u);
    EXPECT_EQ(run[12345], cv::Point(12345, 7));
    run.clear();
    append_digital_segment({0, 0}, {40000, 30000}, run);  // length 50000
    EXPECT_EQ(run.back(), cv::Point(40000, 30000));
    for (std::size_t i = 1; i < run.size(); ++i)
        ASSERT_LE(std::max(std::abs(run[i].x - run[i - 1].x), std::abs(run[i].y - run[i - 1].y)), 1) << i;
}

// A face table of one triangle, and what extraction reads of it.
struct one_triangle {
    regular_triangulation A;
    face_table table;
    triangle_corners corners;
    explicit one_triangle(const std::vector<bare_point>& points)
    {
        for (const bare_point& p : points) A.insert(weighted_point(p, 0));
        table = build_face_table(A, assign_alpha_values(A));
        corners = corners_of_triangles(table, A.tds().number_of_vertices());
    }
};

TEST(Extraction, HullCoordinatesAreTruncatedTowardZero)
{
    one_triangle t({bare_point(2.9, 2.9), bare_point(-2.9, 2.9), bare_point(0.5, -2.9)});
    std::vector<cv::Point> positions;
    for (const int v : t.corners.corners[0]) positions.push_back(t.corners.position[v]);
    std::sort(positions.begin(), positions.end(), [](cv::Point a, cv::Point b) { return a.x < b.x; });
    EXPECT_EQ(positions, (std::vector<cv::Point>{{-2, 2}, {0, -2}, {2, 2}}));
    const moment_fit fit = fit_ellipse_by_moments(digitised_hull_boundary(positions), 4);
    EXPECT_TRUE(fit.ellipse);
    EXPECT_GT(fit.twice_area, 0);  // the hull is walked in the positive orientation
}

TEST(Extraction, MaxAreaIsAStrictLimit)
{
    one_triangle t({bare_point(10, 10), bare_point(30, 12), bare_point(15, 40)});
    vertex_marks marks(t.A.tds().number_of_vertices());

    const moment_fit fit = fit_ellipse_by_moments(digitised_hull_boundary({{10, 10}, {30, 12}, {15, 40}}), 4);
    ASSERT_TRUE(fit.ellipse);
    const double size = fit.twice_area;

    EXPECT_FALSE(extract_ellipse(t.corners, {0}, size, marks));
    const std::optional<orvo::Region> e = extract_ellipse(t.corners, {0}, std::nextafter(size, 1e300), marks);
    ASSERT_TRUE(e);
    expect_region(*e, *fit.ellipse);
    // The same triangles twice give the same ellipse again, also when the
    // marks wrap around.
    std::optional<orvo::Region> again = extract_ellipse(t.corners, {0, 0}, 1e9, marks);
    ASSERT_TRUE(again);
    expect_region(*again, *fit.ellipse);
    marks.current = UINT32_MAX;
    again = extract_ellipse(t.corners, {0, 0}, 1e9, marks);
    ASSERT_TRUE(again);
    expect_region(*again, *fit.ellipse);
}

TEST(Extraction, ExactHullThenItsWideningIsTheWholeExtraction)
{
    // A triangle with edge pixels along its sides and a little beyond,
    // extracted as one chosen component: its exact hull's own fit, then the
    // hull's widening, give what extraction with the edge pixels gives; the
    // widened hull alone is held to max_area.
    one_triangle t({bare_point(10.25, 10.5), bare_point(30.5, 12.25), bare_point(15.75, 40.5)});
    t.corners = corners_of_triangles(t.table, t.A.tds().number_of_vertices(), true);
    std::vector<cv::Point2d> positions;
    const std::vector<cv::Point2d> corners = {{10.25, 10.5}, {30.5, 12.25}, {15.75, 40.5}};
    for (std::size_t i = 0; i < 3; ++i)
        for (double s = 0; s < 1; s += 0.05)
            positions.push_back(corners[i] + (corners[(i + 1) % 3] - corners[i]) * s + cv::Point2d(0.7, -0.4));
    const edge_pixel_map edges = map_edge_pixels({50, 50}, positions);
    subtree_triangles subtree;
    subtree.rows = {0};
    subtree.begin = {0};
    subtree.end = {1};
    const std::vector<chosen_node> chosen = {{0, 1.0}};

    const nested_hulls fit = fit_nested_hulls(t.corners, subtree, chosen, 1e9, 1);
    ASSERT_TRUE(fit.ellipse[0]);
    const std::vector<cv::Point2d>& hull = fit.hull[0];
    EXPECT_EQ(hull, convex_hull_polygon(corners));
    expect_region(*fit.ellipse[0], *exact_hull_ellipse(hull, 1e9));
    t.corners.edge_pixels = &edges;
    const std::optional<orvo::Region> whole = fit_nested_hulls(t.corners, subtree, chosen, 1e9, 1).ellipse[0];
    const std::optional<orvo::Region> widened = widened_ellipse(hull, edges, 1e9);
    ASSERT_TRUE(whole && widened);
    expect_region(*widened, *whole);
    EXPECT_NE(widened->x, fit.ellipse[0]->x);

    const double hull_area = std::abs(fit_ellipse_by_moments(hull, 4).twice_area);
    const double widened_area = std::abs(fit_ellipse_by_moments(hull_with_edge_pixels(hull, edges), 4).twice_area);
    ASSERT_LT(hull_area, widened_area);
    const double between = (hull_area + widened_area) / 2;
    EXPECT_TRUE(exact_hull_ellipse(hull, between));
    EXPECT_FALSE(widened_ellipse(hull, edges, between));
    EXPECT_FALSE(fit_nested_hulls(t.corners, subtree, chosen, between, 1).ellipse[0]);
    EXPECT_TRUE(widened_ellipse(hull, edges, widened_area * (1 + 1e-9)));
}

TEST(EllipseFile, ExactBytes)
{
    temp_dir dir;
    const std::string name = dir / "img.png.orvo";
    orvo::write_region_file(name, {});
    EXPECT_EQ(read_file(name), "0.000000\n0\n");

    for (double scale : {1.0, 2.0}) {
        orvo::write_region_file(name, orvo::scaled({{10, 20, 0.25, 0, 0.0625}}, scale));
        EXPECT_EQ(read_file(name), scale == 1 ? "0.000000\n1\n12.0000000000 22.0000000000 0.2500000000 0.0000000000 0.0625000000\n"
                                              : "0.000000\n1\n12.0000000000 22.0000000000 0.0625000000 0.0000000000 0.0156250000\n");
    }
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"img.png.orvo"});
}

TEST(EllipseFile, FailuresAreReportedAndLeaveTheOldFile)
{
    temp_dir dir;
    try {
        orvo::write_region_file(dir / "missing-folder/x.orvo", {{1, 2, 1, 0, 1}});
        ADD_FAILURE() << "no error";
    } catch (const orvo::RegionFileError& e) {
        EXPECT_EQ(std::string(e.what()), dir / "missing-folder/x.orvo" + ": No such file or directory");
    }

    // An existing file is replaced whole, and no temporary file remains.
    const std::string name = dir / "kept.orvo";
    write_file(name, "old contents\n");
    orvo::write_region_file(name, {});
    EXPECT_EQ(read_file(name), "0.000000\n0\n");
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"kept.orvo"});

}

namespace {

// A record (x, y, a, b, b, c) drawn.
cv::Mat drawn(const std::vector<double>& record)
{
    cv::Mat image(80, 80, CV_8UC3, cv::Scalar(90, 90, 90));
    orvo::draw(image, {{record[0], record[1], record[2], record[3], record[5]}});
    return image;
}

cv::Mat expected(cv::Point centre, cv::Size axes, double angle)
{
    cv::Mat image(80, 80, CV_8UC3, cv::Scalar(90, 90, 90));
    cv::circle(image, centre, 1, cv::Scalar(0, 0, 0), 2, cv::LINE_8, 0);
    cv::circle(image, centre, 1, cv::Scalar(0, 255, 255), 1, cv::LINE_8, 0);
    cv::ellipse(image, centre, axes, angle, 0, 360, cv::Scalar(0, 0, 0), 3, cv::LINE_8, 0);
    cv::ellipse(image, centre, axes, angle, 0, 360, cv::Scalar(0, 255, 255), 2, cv::LINE_8, 0);
    return image;
}

bool same(const cv::Mat& a, const cv::Mat& b)
{
    return cv::norm(a, b, cv::NORM_INF) == 0;
}

}  // namespace

TEST(Drawing, AxesAngleAndTruncation)
{
    EXPECT_TRUE(same(drawn({11, 21, 0.25, 0, 0, 0.0625}), expected({11, 21}, {2, 4}, 0)));
    // c > a: the first semi-axis (2) is vertical.
    const double plus_90 = std::atan2(0.1875, 0) / 3.14159 * 180.0;
    EXPECT_NEAR(plus_90, 90.00008, 1e-5);
    EXPECT_TRUE(same(drawn({11, 21, 0.0625, 0, 0, 0.25}), expected({11, 21}, {2, 4}, plus_90)));
    EXPECT_TRUE(same(drawn({40.9, 40.2, 0.0625 / 4, 0, 0, 0.25 / 4}), expected({40, 40}, {4, 8}, plus_90)));

    const double a = 1 / (9.9999999 * 9.9999999);
    EXPECT_TRUE(same(drawn({40, 40, a, 0, 0, a}), expected({40, 40}, {9, 9}, 0)));
    EXPECT_FALSE(same(drawn({40, 40, a, 0, 0, a}), expected({40, 40}, {10, 10}, 0)));

    const cv::Mat untouched(80, 80, CV_8UC3, cv::Scalar(90, 90, 90));
    EXPECT_TRUE(same(drawn({40, 40, -1, 0, 0, 1}), untouched));     // not positive definite
    EXPECT_TRUE(same(drawn({40, 40, 1e-30, 0, 0, 1}), untouched));  // semi-axis beyond int
}

TEST(Drawing, OutlineFollowsARotatedEllipse)
{
    // Semi-axes 30 and 12, the long one at 30 degrees below the x axis
    // (rows grow downward).
    const double t = 30 * M_PI / 180, c = std::cos(t), s = std::sin(t);
    const double l1 = 1 / 900.0, l2 = 1 / 144.0;
    const std::vector<double> record = {40, 40, l1 * c * c + l2 * s * s, (l1 - l2) * c * s, (l1 - l2) * c * s,
                                        l1 * s * s + l2 * c * c};
    const cv::Mat image = drawn(record);
    int yellow = 0;
    for (int y = 0; y < image.rows; ++y) {
        for (int x = 0; x < image.cols; ++x) {
            if (image.at<cv::Vec3b>(y, x) != cv::Vec3b(0, 255, 255)) continue;
            const double u = x - 40, v = y - 40;
            if (u * u + v * v <= 4) continue;  // the centre mark
            ++yellow;
            const double q = record[2] * u * u + 2 * record[3] * u * v + record[5] * v * v;
            EXPECT_NEAR(std::sqrt(q), 1.0, 0.2) << x << "," << y;
        }
    }
    EXPECT_GT(yellow, 150);
}

TEST(EllipseMatrix, EigenDecompositionAxesAndInverseSquareRoot)
{
    // Semi-axes 10 and 4, the major one at 120 degrees, and the special
    // cases: axis-aligned either way, and a circle.
    const auto matrix_of = [](double major, double minor, double degrees) {
        const double t = degrees * CV_PI / 180, c = std::cos(t), s = std::sin(t);
        const double l1 = 1 / (major * major), l2 = 1 / (minor * minor);
        return ellipse_matrix{l1 * c * c + l2 * s * s, (l1 - l2) * c * s, l1 * s * s + l2 * c * c};
    };
    for (const auto& [major, minor, degrees] : {std::tuple{10.0, 4.0, 120.0}, std::tuple{10.0, 4.0, 0.0},
                                                std::tuple{10.0, 4.0, 90.0}, std::tuple{5.0, 5.0, 0.0}}) {
        SCOPED_TRACE(testing::Message() << major << " " << minor << " " << degrees);
        const ellipse_matrix m = matrix_of(major, minor, degrees);
        const semi_axes axes = ellipse_semi_axes(m);
        EXPECT_NEAR(axes.major, major, 1e-9);
        EXPECT_NEAR(axes.minor, minor, 1e-9);
        if (major != minor) {
            EXPECT_NEAR(major_axis_degrees(m), degrees, 1e-9);
        }

        const eigen_decomposition_2x2 e = eigen_decomposition(m);
        const cv::Matx22d M(m.a, m.b, m.b, m.c);
        const cv::Vec2d v = e.larger_vector;
        EXPECT_NEAR(cv::norm(v), 1, 1e-12);
        EXPECT_NEAR(cv::norm(M * v - e.values.larger * v), 0, 1e-12);

        // T maps the unit circle onto the ellipse: T' M T is the identity.
        const cv::Matx22d T = inverse_square_root(m);
        const cv::Matx22d I = T.t() * M * T;
        EXPECT_NEAR(cv::norm(I - cv::Matx22d::eye()), 0, 1e-9);
        EXPECT_EQ(T(0, 1), T(1, 0));
    }
}
