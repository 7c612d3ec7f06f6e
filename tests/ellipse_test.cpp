// Ellipse fitting, extraction, the ellipse file and the drawing.
#include <gtest/gtest.h>

#include <random>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <opencv2/imgproc.hpp>

#include "edges/alpha_shape.h"
#include "orvo/orvo.h"
#include "ellipse/extract.h"
#include "ellipse/fit.h"
#include "tests/test_support.h"
#include "tree/face_table.h"

TEST(Fit, RectangleInBothOrientations)
{
    for (bool reversed : {false, true}) {
        std::vector<double> x = {0, 0, 4, 4}, y = {0, 2, 2, 0};
        if (reversed) {
            std::reverse(x.begin(), x.end());
            std::reverse(y.begin(), y.end());
        }
        std::vector<double> params = {7};  // appended to, never cleared
        double size = 0;
        EXPECT_EQ(fitEllipseMOMENTS(x, y, 4, params, size), 0);
        EXPECT_EQ(size, reversed ? -16 : 16);
        ASSERT_EQ(params.size(), 7u);
        EXPECT_EQ(params[0], 7);
        EXPECT_DOUBLE_EQ(params[1], 2);
        EXPECT_DOUBLE_EQ(params[2], 1);
        EXPECT_DOUBLE_EQ(params[3], 3.0 / 16);
        EXPECT_NEAR(params[4], 0, 1e-15);
        EXPECT_NEAR(params[5], 0, 1e-15);
        EXPECT_DOUBLE_EQ(params[6], 3.0 / 4);
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
    std::vector<double> p;
    double size;
    ASSERT_EQ(fitEllipseMOMENTS(x, y, 4, p, size), 0);
    EXPECT_NEAR(p[0], 3, 1e-9);
    EXPECT_NEAR(p[1], 4, 1e-9);
    EXPECT_DOUBLE_EQ(p[3], p[4]);
    // Eigenvalues of M's inverse: the squared semi-axes.
    const double det = p[2] * p[5] - p[3] * p[4];
    const double a = p[5] / det, b = -p[3] / det, c = p[2] / det;
    const double d = std::sqrt((a - c) * (a - c) + 4 * b * b);
    EXPECT_NEAR((a + c + d) / 2, 100, 1e-3);
    EXPECT_NEAR((a + c - d) / 2, 25, 1e-3);
}

TEST(Fit, DegenerateInputFails)
{
    for (std::vector<double> x : {std::vector<double>{1}, std::vector<double>{1, 5}, std::vector<double>{}}) {
        std::vector<double> y(x.size(), 2.0);
        std::vector<double> params;
        double size = 99;
        EXPECT_EQ(fitEllipseMOMENTS(x, y, 4, params, size), -1);
        EXPECT_EQ(size, 0);
        EXPECT_EQ(params, std::vector<double>{-1});
    }
    // Collinear points: a hull of two vertices, no area.
    std::vector<double> hx, hy;
    calc_convex_hulls({{0, 0}, {1, 1}, {3, 3}, {7, 7}}, hx, hy);
    EXPECT_LE(hx.size(), 2u);
    std::vector<double> params;
    double size;
    EXPECT_EQ(fitEllipseMOMENTS(hx, hy, 4, params, size), -1);
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

        std::vector<double> hx, hy;
        calc_convex_hulls(points, hx, hy);
        std::vector<cv::Point> vertices;
        for (std::size_t i = 0; i < hx.size(); ++i) {
            const cv::Point p(static_cast<int>(hx[i]), static_cast<int>(hy[i]));
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
    EXPECT_EQ(myGetLineFromEndPts({0, 0}, {3, 0}, run), 1);
    EXPECT_EQ(run, (std::vector<cv::Point>{{0, 0}, {1, 0}, {2, 0}, {3, 0}}));
    run.clear();
    myGetLineFromEndPts({5, 5}, {5, 5}, run);
    EXPECT_EQ(run, (std::vector<cv::Point>{{5, 5}}));
    run.clear();
    myGetLineFromEndPts({0, 0}, {2, 4}, run);
    EXPECT_EQ(run, (std::vector<cv::Point>{{0, 0}, {0, 1}, {1, 2}, {1, 3}, {2, 4}}));
    // Runs longer than 46,340 pixels, whose squared length exceeds an int.
    run.clear();
    myGetLineFromEndPts({0, 7}, {50000, 7}, run);
    ASSERT_EQ(run.size(), 50001u);
    EXPECT_EQ(run[12345], cv::Point(12345, 7));
    run.clear();
    myGetLineFromEndPts({0, 0}, {40000, 30000}, run);  // length 50000
    EXPECT_EQ(run.back(), cv::Point(40000, 30000));
    for (std::size_t i = 1; i < run.size(); ++i)
        ASSERT_LE(std::max(std::abs(run[i].x - run[i - 1].x), std::abs(run[i].y - run[i - 1].y)), 1) << i;
}

// A face table of one triangle, and what extraction reads of it.
struct one_triangle {
    Alpha_shape_2 A;
    face_table table;
    triangle_corners corners;
    explicit one_triangle(const std::vector<Point_2>& points)
    {
        for (const Point_2& p : points) A.insert(Weighted_point(p, 0));
        initialize_interval_face_map(A);
        initialize_interval_edge_map(A);
        table = build_face_table(A);
        corners = corners_of_triangles(table, A.tds().number_of_vertices());
    }
};

TEST(Extraction, HullCoordinatesAreTruncatedTowardZero)
{
    one_triangle t({Point_2(2.9, 2.9), Point_2(-2.9, 2.9), Point_2(0.5, -2.9)});
    std::vector<cv::Point> positions;
    for (const int v : t.corners.corners[0]) positions.push_back(t.corners.position[v]);
    std::sort(positions.begin(), positions.end(), [](cv::Point a, cv::Point b) { return a.x < b.x; });
    EXPECT_EQ(positions, (std::vector<cv::Point>{{-2, 2}, {0, -2}, {2, 2}}));
    std::vector<double> hx, hy, p;
    calc_convex_hulls(positions, hx, hy);
    double size;
    EXPECT_EQ(fitEllipseMOMENTS(hx, hy, 4, p, size), 0);
    EXPECT_GT(size, 0);  // the hull is walked in the positive orientation
}

TEST(Extraction, MaxAreaIsAStrictLimit)
{
    one_triangle t({Point_2(10, 10), Point_2(30, 12), Point_2(15, 40)});
    vertex_marks marks(t.A.tds().number_of_vertices());

    std::vector<double> hx, hy, params;
    calc_convex_hulls({{10, 10}, {30, 12}, {15, 40}}, hx, hy);
    double size = 0;
    ASSERT_EQ(fitEllipseMOMENTS(hx, hy, 4, params, size), 0);

    std::vector<double> ellipse;
    extract_one_ellipse(t.corners, {0}, size, ellipse, marks);
    EXPECT_TRUE(ellipse.empty());
    extract_one_ellipse(t.corners, {0}, std::nextafter(size, 1e300), ellipse, marks);
    EXPECT_EQ(ellipse, params);
    // The same triangles twice give the same record again, also when the
    // marks wrap around.
    std::vector<double> again;
    extract_one_ellipse(t.corners, {0, 0}, 1e9, again, marks);
    EXPECT_EQ(again, params);
    marks.current = UINT32_MAX;
    again.clear();
    extract_one_ellipse(t.corners, {0, 0}, 1e9, again, marks);
    EXPECT_EQ(again, params);
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
