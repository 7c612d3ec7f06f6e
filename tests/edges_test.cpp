// Canny edge tracing and sampling, weighted points and gap midpoints, and the
// alpha values of faces and edges.
#include <gtest/gtest.h>

#include <CGAL/Exact_rational.h>
#include <CGAL/Regular_triangulation_face_base_2.h>
#include <CGAL/Spatial_sort_traits_adapter_2.h>
#include <CGAL/spatial_sort.h>
#include <boost/property_map/function_property_map.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <opencv2/imgproc.hpp>

#include "edges/canny.h"
#include "edges/gaussian_smoothing.h"
#include "edges/subpixel.h"
#include "edges/suppression.h"
#include "tests/canny_stages.h"
#include "tests/generated_image.h"
#include "triangulation/alpha_values.h"
#include "triangulation/fetch_ahead.h"
#include "triangulation/weighted_points.h"

using namespace orvo::detail;

namespace {

// The triangulation of an image's edge points sampled every `step` pixels.
edge_input_counts insert_edge_points(const cv::Mat& grey, int step, regular_triangulation& triangulation)
{
    const sampled_edges edges = sample_edges(grey, {step});
    return insert_weighted_points(edges.points[0], edges.gradient, static_cast<std::uint64_t>(step), triangulation);
}

// A magnitude image and suppression map with the given pixels as candidates
// of the given magnitude.
struct candidates {
    int rows, cols;
    std::vector<short> mag;
    std::vector<unsigned char> nms;
    candidates(int r, int c) : rows(r), cols(c), mag(r * c, 0), nms(r * c, NOT_CANDIDATE) {}
    void set(int x, int y, short m)
    {
        mag[y * cols + x] = m;
        nms[y * cols + x] = CANDIDATE;
    }
    std::vector<cv::Point> trace(int step, int phase = 0)
    {
        return hysteresis(mag, nms, rows, cols, step, phase).points;
    }
};

weighted_point wp(double x, double y, double w = 0)
{
    return weighted_point(bare_point(x, y), w);
}

}  // namespace

TEST(Canny, UniformImageHasNoEdges)
{
    const cv::Mat image(40, 50, CV_8UC1, cv::Scalar(120));
    const canny_edges canny = detect_canny_edges(image, CANNY_SIGMA, {11});
    EXPECT_TRUE(canny.points[0].empty());
    EXPECT_EQ(cv::countNonZero(canny.edges), 0);
    EXPECT_EQ(canny.gradient.type(), CV_32FC1);

    regular_triangulation triangulation;
    insert_edge_points(cv::Mat(40, 50, CV_8UC1, cv::Scalar(99)), 11, triangulation);
    EXPECT_LT(triangulation.dimension(), 2);
    EXPECT_EQ(triangulation.number_of_vertices(), 0u);
}

TEST(Canny, ImagesBelowThreeByThreeHaveNoEdges)
{
    for (const cv::Size size : {cv::Size(1, 1), cv::Size(7, 1), cv::Size(1, 7), cv::Size(2, 2), cv::Size(2, 9)}) {
        cv::Mat image(size, CV_8UC1);
        cv::randu(image, 0, 256);
        const canny_edges canny = detect_canny_edges(image, CANNY_SIGMA, {1});
        EXPECT_TRUE(canny.points[0].empty());
        EXPECT_EQ(canny.edges.size(), size);
        EXPECT_EQ(canny.gradient.size(), size);
    }
}

TEST(Canny, FrameAndSecondToLastRowAndColumnAreNeverEdges)
{
    cv::Mat image(60, 70, CV_8UC1);
    cv::RNG rng(7);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    const canny_edges canny = detect_canny_edges(image, CANNY_SIGMA, {1});
    const cv::Mat& edges = canny.edges;
    const std::vector<cv::Point>& points = canny.points[0];
    ASSERT_GT(points.size(), 100u);
    EXPECT_EQ(points.size(), static_cast<std::size_t>(cv::countNonZero(edges)));
    for (int c = 0; c < edges.cols; ++c) {
        EXPECT_EQ(edges.at<unsigned char>(0, c), 0);
        EXPECT_EQ(edges.at<unsigned char>(edges.rows - 2, c), 0);
        EXPECT_EQ(edges.at<unsigned char>(edges.rows - 1, c), 0);
    }
    for (int r = 0; r < edges.rows; ++r) {
        EXPECT_EQ(edges.at<unsigned char>(r, 0), 0);
        EXPECT_EQ(edges.at<unsigned char>(r, edges.cols - 2), 0);
        EXPECT_EQ(edges.at<unsigned char>(r, edges.cols - 1), 0);
    }
    double lo, hi;
    cv::minMaxLoc(canny.gradient, &lo, &hi);
    EXPECT_EQ(lo, 0.0);
    EXPECT_EQ(hi, 255.0);
}

TEST(Canny, StraightEdgeIsSampledEveryStepPixels)
{
    candidates line(5, 30);
    for (int x = 2; x <= 24; ++x) line.set(x, 2, 100);  // 23 pixels, traced from the west end
    EXPECT_EQ(line.trace(11), (std::vector<cv::Point>{{2, 2}, {13, 2}, {24, 2}}));
    EXPECT_EQ(line.trace(1).size(), 23u);
    EXPECT_EQ(line.trace(22), (std::vector<cv::Point>{{2, 2}, {24, 2}}));
    // Sampling started further along: the pixels 3 and 14 steps from the seed.
    EXPECT_EQ(line.trace(11, 3), (std::vector<cv::Point>{{5, 2}, {16, 2}}));
    EXPECT_EQ(line.trace(11, 11), line.trace(11));  // phases count modulo the step
}

// A dark shape on a light ground (see antialiased_shape), square.
cv::Mat antialiased(int size, const std::function<bool(double, double)>& inside)
{
    return antialiased_shape(cv::Size(size, size), inside);
}

TEST(SubpixelEdges, PointsLieOnTheTrueEdge)
{
    // A straight edge at 20 degrees from the vertical at a fractional offset,
    // and a circle: the refined points lie on the edge to within a tenth of a
    // pixel, their pixel centres up to half a pixel away from it.
    const double slope = std::tan(20 * M_PI / 180), radius = 21.3, cx = 40.37, cy = 39.81;
    const auto line_distance = [&](cv::Point2d p) { return std::abs(p.x - (30.3 + slope * p.y)) * std::cos(20 * M_PI / 180); };
    const auto circle_distance = [&](cv::Point2d p) { return std::abs(std::hypot(p.x - cx, p.y - cy) - radius); };
    for (const bool circle : {false, true}) {
        const cv::Mat image = circle ? antialiased(80, [&](double x, double y) { return std::hypot(x - cx, y - cy) < radius; })
                                     : antialiased(80, [&](double x, double y) { return x < 30.3 + slope * y; });
        const auto distance = [&](cv::Point2d p) { return circle ? circle_distance(p) : line_distance(p); };
        const sampled_edges edges = sample_edges(image, {1});
        double worst_centre = 0, worst_refined = 0;
        std::size_t measured = 0;
        for (const cv::Point& pixel : edges.points[0]) {
            if (pixel.x < 8 || pixel.y < 8 || pixel.x > 71 || pixel.y > 71) continue;  // away from the image's border
            worst_centre = std::max(worst_centre, distance(cv::Point2d(pixel)));
            worst_refined = std::max(worst_refined, distance(subpixel_edge_position(edges.gradient, pixel)));
            ++measured;
        }
        EXPECT_GT(measured, 50u);
        EXPECT_GT(worst_centre, 0.45) << circle;
        EXPECT_LT(worst_refined, 0.15) << circle;
    }
    // A pixel on the border has no neighbours on one side: it stays put.
    const sampled_edges edges = sample_edges(antialiased(20, [](double x, double) { return x < 9.7; }), {1});
    EXPECT_EQ(subpixel_edge_position(edges.gradient, {0, 5}), cv::Point2d(0, 5));
}

TEST(Canny, TracingOrderIsDepthFirstEastThenCounterClockwise)
{
    // A plus sign: the seed is its top pixel (first in raster order). Its
    // first candidate in east, north-east, north, north-west, west,
    // south-west order is the south-west arm; from there east to the centre,
    // east again to the east arm, whose south-west neighbour is the bottom.
    candidates plus(9, 9);
    plus.set(4, 2, 100);
    plus.set(4, 3, 100);
    plus.set(5, 3, 100);
    plus.set(3, 3, 100);
    plus.set(4, 4, 100);
    const std::vector<cv::Point> order = plus.trace(1);
    EXPECT_EQ(order, (std::vector<cv::Point>{{4, 2}, {3, 3}, {4, 3}, {5, 3}, {4, 4}}));
}

TEST(Canny, PointsAreGroupedBySeedInRasterOrder)
{
    candidates two(10, 20);
    for (int x = 10; x <= 13; ++x) two.set(x, 2, 100);
    for (int x = 2; x <= 5; ++x) two.set(x, 6, 100);
    EXPECT_EQ(two.trace(1), (std::vector<cv::Point>{{10, 2}, {11, 2}, {12, 2}, {13, 2}, {2, 6}, {3, 6}, {4, 6}, {5, 6}}));
}

TEST(Canny, FollowingNeedsMagnitudeStrictlyAboveLowAndSeedingAtLeastHigh)
{
    // The seed (3, 2) at the high threshold; east of it a candidate equal to
    // the low threshold, north of it one just above; (1, 4) just below the
    // high threshold seeds nothing. Rows of 21 pixels: the tracing's last
    // seed-finding block of sixteen and the plain code after it both run.
    const int rows = 6, cols = 21;
    std::vector<unsigned char> map(rows * cols, NOT_CANDIDATE);
    std::vector<short> mag(rows * cols, 0);
    const auto set = [&](int x, int y, short m) {
        map[y * cols + x] = CANDIDATE;
        mag[y * cols + x] = m;
    };
    set(3, 2, 50);
    set(4, 2, 20);
    set(3, 1, 21);
    set(1, 4, 49);
    set(18, 3, 60);  // a second seed, in the columns the vector code leaves over
    const hysteresis_thresholds thresholds{50, 20};
    const std::vector<std::vector<cv::Point>> points =
        trace_edges(mag.data(), map.data(), rows, cols, thresholds, {1, 2}, cv::useOptimized());
    EXPECT_EQ(points[0], (std::vector<cv::Point>{{3, 2}, {3, 1}, {18, 3}}));
    EXPECT_EQ(points[1], (std::vector<cv::Point>{{3, 2}, {18, 3}}));  // the seeds; (3, 1) is one step away
    std::vector<unsigned char> expected(rows * cols, 0);
    expected[1 * cols + 3] = expected[2 * cols + 3] = expected[3 * cols + 18] = 255;
    EXPECT_EQ(map, expected);
}

TEST(Canny, ThresholdsComeFromTheMagnitudeHistogram)
{
    // Ten candidates of magnitude 1..10: the high threshold is the smallest
    // magnitude at which 60 % of them are reached, the low one a fifth of it.
    candidates c(3, 40);
    for (int i = 0; i < 10; ++i) c.set(2 + 3 * i, 1, static_cast<short>(i + 1));
    const hysteresis_result result = hysteresis(c.mag, c.nms, 3, 40, 1);
    EXPECT_EQ(result.thresholds.high, 6);
    EXPECT_EQ(result.thresholds.low, 1);
    EXPECT_EQ(result.points.size(), 5u);  // magnitudes 6..10 are seeds
}

namespace {

// The outputs of every stage, run one after the other on an image.
struct stage_outputs {
    std::vector<short> smoothed;
    image_gradient gradient;
    std::vector<unsigned char> nms;
    hysteresis_result edges;
};

stage_outputs run_stages(const std::vector<unsigned char>& image, int rows, int cols, float sigma)
{
    stage_outputs out;
    out.smoothed = smooth_image(image, rows, cols, sigma);
    out.gradient = gradient_of(out.smoothed, rows, cols);
    out.nms = suppress_non_maxima(out.gradient.magnitude, out.gradient.dx, out.gradient.dy, rows, cols);
    out.edges = hysteresis(out.gradient.magnitude, out.nms, rows, cols, 1);
    return out;
}

}  // namespace

TEST(Canny, VectorKernelsMatchThePlainCodeAtEveryWidth)
{
    // The vector kernels cover eight or sixteen columns at a time and leave
    // the rest of each row to the per-pixel code: every remainder, and rows
    // too short for the kernel (7 or 13 taps), must give the same bytes both
    // ways.
    struct restore {
        ~restore() { cv::setUseOptimized(true); }
    } restore_optimised;
    cv::RNG rng(3);
    for (int cols = 3; cols <= 40; ++cols) {
        for (int rows : {3, 5, 9}) {
            std::vector<unsigned char> image(rows * cols);
            for (unsigned char& v : image) v = static_cast<unsigned char>(rng.uniform(0, 256));
            const float sigma = rows == 9 ? 2.2f : 1.0f;
            cv::setUseOptimized(true);
            const stage_outputs vec = run_stages(image, rows, cols, sigma);
            cv::setUseOptimized(false);
            const stage_outputs plain = run_stages(image, rows, cols, sigma);
            SCOPED_TRACE(testing::Message() << cols << " x " << rows);
            EXPECT_EQ(vec.smoothed, plain.smoothed);
            EXPECT_EQ(vec.gradient.dx, plain.gradient.dx);
            EXPECT_EQ(vec.gradient.dy, plain.gradient.dy);
            EXPECT_EQ(vec.gradient.magnitude, plain.gradient.magnitude);
            EXPECT_EQ(vec.nms, plain.nms);
            EXPECT_EQ(vec.edges.edges, plain.edges.edges);
            EXPECT_EQ(vec.edges.points, plain.edges.points);

            // Small gradients make every sign, slope tie and zero magnitude
            // of the suppression frequent.
            std::vector<short> mag(rows * cols), gx(rows * cols), gy(rows * cols);
            for (std::size_t i = 0; i < mag.size(); ++i) {
                mag[i] = static_cast<short>(rng.uniform(0, 4));
                gx[i] = static_cast<short>(rng.uniform(-2, 3));
                gy[i] = static_cast<short>(rng.uniform(-2, 3));
            }
            cv::setUseOptimized(true);
            const std::vector<unsigned char> nms_vec = suppress_non_maxima(mag, gx, gy, rows, cols);
            cv::setUseOptimized(false);
            EXPECT_EQ(nms_vec, suppress_non_maxima(mag, gx, gy, rows, cols));
        }
    }
}

TEST(Canny, ThreadCountDoesNotChangeTheResult)
{
    // Bands down to a single row: each recomputes the rows around it that
    // the smoothing, the derivatives and the suppression need.
    cv::RNG rng(11);
    for (const cv::Size size : {cv::Size(90, 64), cv::Size(37, 5), cv::Size(9, 4), cv::Size(50, 3), cv::Size(20, 30)}) {
        const double sigma = size.height == 30 ? 2.6 : 1.0;  // a kernel taller than the bands
        cv::Mat image(size, CV_8UC1);
        rng.fill(image, cv::RNG::UNIFORM, 0, 256);
        cv::GaussianBlur(image, image, cv::Size(5, 5), 1.2);
        const canny_edges one = detect_canny_edges(image, sigma, {3}, 1);
        if (size.height > 10) {
            ASSERT_GT(one.points[0].size(), 20u);
        }
        for (int threads = 2; threads <= 8; ++threads) {
            const canny_edges several = detect_canny_edges(image, sigma, {3}, threads);
            SCOPED_TRACE(testing::Message() << size << ", " << threads << " threads");
            EXPECT_EQ(several.points, one.points);
            EXPECT_EQ(cv::countNonZero(several.edges != one.edges), 0);
            EXPECT_EQ(std::memcmp(several.gradient.data, one.gradient.data, one.gradient.total() * sizeof(float)), 0);
            EXPECT_EQ(several.high_threshold, one.high_threshold);
            EXPECT_EQ(several.low_threshold, one.low_threshold);
        }
        // Several steps from one detection: each list as its step alone.
        const canny_edges steps = detect_canny_edges(image, sigma, {11, 3, 1}, 2);
        ASSERT_EQ(steps.points.size(), 3u);
        EXPECT_EQ(steps.points[1], one.points[0]);
        EXPECT_EQ(steps.points[0], detect_canny_edges(image, sigma, {11}).points[0]);
        EXPECT_EQ(steps.points[2], detect_canny_edges(image, sigma, {1}).points[0]);
        EXPECT_EQ(cv::countNonZero(steps.edges != one.edges), 0);
    }
}

TEST(Canny, PresmoothingInBandsIsTheWholeImagesBlur)
{
    // Down to bands of a row, and images shorter than the kernel.
    cv::RNG rng(12);
    for (const cv::Size size : {cv::Size(70, 120), cv::Size(33, 9), cv::Size(12, 3), cv::Size(5, 1)}) {
        cv::Mat image(size, CV_8UC1);
        rng.fill(image, cv::RNG::UNIFORM, 0, 256);
        cv::Mat whole;
        cv::GaussianBlur(image, whole, cv::Size(0, 0), 0.8, 0.0, cv::BORDER_REPLICATE);
        for (int bands = 1; bands <= std::min(8, size.height); ++bands)
            EXPECT_EQ(cv::countNonZero(presmoothed_image(image, bands) != whole), 0) << size << ", " << bands << " bands";
    }
}

TEST(Canny, GaussianKernelIsNormalised)
{
    const std::vector<float> k = gaussian_kernel(1.0f);
    ASSERT_EQ(k.size(), 7u);
    float sum = 0;
    for (float v : k) sum += v;
    EXPECT_NEAR(sum, 1.0f, 1e-6);
    EXPECT_EQ(k[0], k[6]);
    EXPECT_GT(k[3], k[2]);
}

TEST(EdgePoints, GradientTenIsInsertedAndBelowIsNot)
{
    cv::Mat gradient(20, 20, CV_32FC1, cv::Scalar(0));
    gradient.at<float>(5, 5) = 10.0f;
    gradient.at<float>(5, 8) = 255.0f;
    gradient.at<float>(8, 5) = 9.99f;
    regular_triangulation A;
    const edge_input_counts counts = insert_weighted_points({{5, 5}, {8, 5}, {5, 8}}, gradient, 11, A);
    EXPECT_EQ(counts.points_inserted, 2u);
    EXPECT_EQ(counts.midpoints_found, 0u);
    ASSERT_EQ(A.number_of_vertices(), 2u);
    const double s = 5.5 * 5.5 / 255.0;
    for (auto v = A.finite_vertices_begin(); v != A.finite_vertices_end(); ++v) {
        const double expected = v->point().x() == 5 ? 10.0 * s : 255.0 * s;
        EXPECT_DOUBLE_EQ(v->point().weight(), expected);
    }
}

TEST(EdgePoints, MidpointsAreTruncatedAndTestedOnTheirOwnGradient)
{
    cv::Mat gradient(10, 20, CV_32FC1, cv::Scalar(0));
    gradient.at<float>(0, 0) = 100;
    gradient.at<float>(1, 7) = 100;
    gradient.at<float>(0, 3) = 50;  // (3.5, 0.5) truncates to column 3, row 0
    regular_triangulation A;
    edge_input_counts counts = insert_weighted_points({{0, 0}, {7, 1}}, gradient, 9, A);
    EXPECT_EQ(counts.midpoints_found, 1u);
    EXPECT_EQ(counts.midpoints_inserted, 1u);
    bool seen = false;
    for (auto v = A.finite_vertices_begin(); v != A.finite_vertices_end(); ++v)
        if (v->point().x() == 3 && v->point().y() == 0) seen = true;
    EXPECT_TRUE(seen);

    gradient.at<float>(0, 3) = 9.5f;
    regular_triangulation B;
    counts = insert_weighted_points({{0, 0}, {7, 1}}, gradient, 9, B);
    EXPECT_EQ(counts.midpoints_found, 1u);
    EXPECT_EQ(counts.midpoints_inserted, 0u);
}

TEST(EdgePoints, InsertionWalkGrowsWithThePointsNotTheAspectRatio)
{
    // Blurred noise has edges everywhere: a strip and a square of the same
    // pixels get about as many points, and locating each from the one
    // before must cost about as much in both (a strip once took up to 50
    // times longer per point).
    auto walk_per_point = [](int width, int height) {
        cv::Mat noise(height, width, CV_8UC1);
        cv::RNG rng(7);
        rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
        cv::GaussianBlur(noise, noise, cv::Size(0, 0), 2.0);
        regular_triangulation A;
        const edge_input_counts counts = insert_edge_points(noise, 11, A);
        const std::size_t points = counts.points_inserted + counts.midpoints_inserted;
        EXPECT_GT(points, 500u);
        return counts.insertion_walk / static_cast<double>(points);
    };
    const double square = walk_per_point(300, 300);
    EXPECT_LT(walk_per_point(4500, 20), 2 * square);
    EXPECT_LT(walk_per_point(20, 4500), 2 * square);
}

TEST(EdgePoints, EdgeOfExactlyStepOverOnePointFiveGetsAMidpoint)
{
    regular_triangulation A;
    A.insert(wp(0, 0, 3));
    A.insert(wp(6, 0, 1));
    EXPECT_EQ(gap_midpoints(A, 9.0), (std::vector<bare_point>{bare_point(3, 0)}));
    EXPECT_TRUE(gap_midpoints(A, 9.000001).empty());
}

TEST(EdgePoints, GapMidpointsOnThreadsComeInTheOneThreadOrder)
{
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> coord(0, 300), weight(0, 10);
    regular_triangulation A;
    for (int i = 0; i < 2000; ++i) A.insert(wp(std::floor(coord(rng)), std::floor(coord(rng)), weight(rng)));
    // The edges in the order of for_each_finite_edge, tested here one by one.
    std::vector<bare_point> expected;
    number_faces(A);
    for_each_finite_edge(A, [&](const face_handle& f, int i) {
        const bare_point& p = f->vertex(regular_triangulation::cw(i))->point().point();
        const bare_point& q = f->vertex(regular_triangulation::ccw(i))->point().point();
        if (std::hypot(p.x() - q.x(), p.y() - q.y()) >= 8.0 / GAP_STEP_DIVISOR)
            expected.emplace_back((p.x() + q.x()) / 2, (p.y() + q.y()) / 2);
    });
    ASSERT_GT(expected.size(), 100u);
    for (int threads = 1; threads <= 8; ++threads) EXPECT_EQ(gap_midpoints(A, 8.0, threads), expected) << threads;
}

TEST(EdgePoints, ThreadsInsertTheSamePointsInTheSameOrder)
{
    // The points weighed, sorted and their midpoints found and weighed on
    // 1..8 threads: the same vertices, stored in the same order, and the
    // same counts; with the edge pixels' own and with refined positions.
    cv::Mat noise(120, 260, CV_8UC1);
    cv::RNG rng(21);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(noise, noise, cv::Size(0, 0), 2.0);
    const sampled_edges edges = sample_edges(noise, {7});
    const std::vector<cv::Point2d> refined = subpixel_edge_positions(edges.gradient, edges.points[0]);
    using positions_of_points = const std::vector<cv::Point2d>*;
    for (const positions_of_points positions : {positions_of_points(nullptr), &refined}) {
        const auto vertices_of = [&](int threads, edge_input_counts& counts) {
            regular_triangulation A;
            counts = insert_weighted_points(edges.points[0], edges.gradient, 7, A, positions, threads);
            std::vector<weighted_point> vertices;
            for (auto v = A.tds().vertices_begin(); v != A.tds().vertices_end(); ++v)
                if (!A.is_infinite(v)) vertices.push_back(v->point());
            return vertices;
        };
        edge_input_counts one;
        const std::vector<weighted_point> expected = vertices_of(1, one);
        ASSERT_GT(one.points_inserted, 300u);
        ASSERT_GT(one.midpoints_inserted, 30u);
        for (int threads = 2; threads <= 8; ++threads) {
            edge_input_counts several;
            EXPECT_EQ(vertices_of(threads, several), expected) << threads << " threads";
            EXPECT_EQ(several.points_inserted, one.points_inserted);
            EXPECT_EQ(several.midpoints_found, one.midpoints_found);
            EXPECT_EQ(several.midpoints_inserted, one.midpoints_inserted);
            EXPECT_EQ(several.insertion_walk, one.insertion_walk);
        }
    }
}

TEST(EdgePoints, InsertionOrderOnThreadsIsTheLibrarysSpatialOrderOfEachSquare)
{
    // The order taken apart for threads against the library's spatial sort
    // of each square whole: on wide, tall and square boxes (three, four and
    // one squares), with repeated points, and on sets below the sizes at
    // which the sort cuts its ranges.
    const regular_triangulation A;
    const auto bare = [](const weighted_point& p) -> const bare_point& { return p.point(); };
    using bare_map = boost::function_property_map<decltype(bare), weighted_point, const bare_point&>;
    const CGAL::Spatial_sort_traits_adapter_2<kernel, bare_map> traits(bare_map(bare), A.geom_traits());
    const auto expected_order = [&](std::vector<weighted_point> points, double width, double height) {
        const double side = std::min(width, height);
        const auto square = [&](const weighted_point& p) {
            return static_cast<long>((width >= height ? p.x() : p.y()) / side);
        };
        std::stable_sort(points.begin(), points.end(),
                         [&](const weighted_point& a, const weighted_point& b) { return square(a) < square(b); });
        for (auto begin = points.begin(); begin != points.end();) {
            const auto end = std::find_if(begin, points.end(),
                                          [&](const weighted_point& p) { return square(p) != square(*begin); });
            CGAL::spatial_sort(begin, end, traits);
            begin = end;
        }
        return points;
    };
    std::mt19937 rng(3);
    struct box {
        double width, height;
        int count;
    };
    for (const box b : {box{300, 100, 20000}, box{50, 200, 5000}, box{120, 120, 9000}, box{90, 40, 15}, box{7, 7, 3}}) {
        std::uniform_int_distribution<int> x(0, static_cast<int>(b.width)), y(0, static_cast<int>(b.height));
        std::vector<weighted_point> points;
        // The box's corners fix its size; whole coordinates repeat points.
        points.push_back(wp(0, 0, 1));
        points.push_back(wp(b.width, b.height, 2));
        for (int i = 2; i < b.count; ++i) points.push_back(wp(x(rng), y(rng), i % 7));
        const std::vector<weighted_point> expected = expected_order(points, b.width, b.height);
        for (int threads = 1; threads <= 8; ++threads) {
            std::vector<weighted_point> sorted = points;
            sort_for_insertion(sorted, A, threads);
            ASSERT_EQ(sorted.size(), expected.size());
            EXPECT_TRUE(std::equal(sorted.begin(), sorted.end(), expected.begin(),
                                   [](const weighted_point& p, const weighted_point& q) {
                                       return p.point() == q.point() && p.weight() == q.weight();
                                   }))
                << b.width << " x " << b.height << ", " << threads << " threads";
        }
    }
}

TEST(AlphaValues, FaceAlphaIsTheOrthogonalRadiusClampedAtZero)
{
    EXPECT_DOUBLE_EQ(face_squared_radius(wp(0, 0), wp(4, 0), wp(0, 4)), 8.0);
    EXPECT_DOUBLE_EQ(face_squared_radius(wp(0, 0, 1), wp(4, 0, 1), wp(0, 4, 1)), 7.0);
    EXPECT_DOUBLE_EQ(face_squared_radius(wp(0, 0, 2), wp(4, 0), wp(0, 4)), 8.125);
    EXPECT_EQ(face_squared_radius(wp(0, 0, 10), wp(4, 0, 10), wp(0, 4, 10)), 0.0);
    EXPECT_EQ(face_squared_radius(wp(1, 1), wp(1, 1), wp(1, 1)), 0.0);  // NaN becomes 0
}

TEST(AlphaValues, EdgeRadiusAndAttachment)
{
    EXPECT_DOUBLE_EQ(edge_squared_radius(wp(0, 0), wp(4, 0)), 4.0);
    EXPECT_DOUBLE_EQ(edge_squared_radius(wp(0, 0, 2), wp(4, 0)), 3.0625);
    EXPECT_EQ(edge_squared_radius(wp(0, 0, 5), wp(1, 0, 5)), 0.0);

    EXPECT_TRUE(is_attached(wp(0, 0), wp(4, 0), wp(2, 1)));
    EXPECT_FALSE(is_attached(wp(0, 0), wp(4, 0), wp(2, 3)));
    EXPECT_FALSE(is_attached(wp(0, 0), wp(4, 0), wp(2, 2)));     // on the circle
    EXPECT_TRUE(is_attached(wp(0, 0), wp(4, 0), wp(2, 2, 0.5)));  // a weight pulls it inside
    EXPECT_FALSE(is_attached(wp(0, 0, 3), wp(4, 0), wp(2, 1, -9)));
}

TEST(AlphaValues, IntervalsOfATriangulatedQuadrilateral)
{
    // A(0,0), B(4,0), C(2,1) above and D(2,-5) below: triangles ABC (alpha
    // 6.25) and ABD (8.41); AB is attached to ABC.
    regular_triangulation A;
    for (const weighted_point& p : {wp(0, 0), wp(4, 0), wp(2, 1), wp(2, -5)}) A.insert(p);
    ASSERT_EQ(A.dimension(), 2);
    const face_alphas values = assign_alpha_values(A);
    ASSERT_EQ(values.size(), A.tds().number_of_faces());
    const auto of = [&values](const face_handle& f) -> const face_alpha& { return values[f->info().order]; };

    std::vector<double> alphas;
    for (face_handle f : A.finite_face_handles()) alphas.push_back(of(f).alpha);
    std::sort(alphas.begin(), alphas.end());
    ASSERT_EQ(alphas.size(), 2u);
    EXPECT_NEAR(alphas[0], 6.25, 1e-12);
    EXPECT_NEAR(alphas[1], 8.41, 1e-12);
    // An infinite face: alpha 0, and no entry (it is no edge's first finite face).
    for (auto f = A.all_faces_begin(); f != A.all_faces_end(); ++f) {
        if (!A.is_infinite(f)) continue;
        EXPECT_EQ(of(f).alpha, 0.0);
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isnan(of(f).entry[i]));
    }

    int checked = 0;
    for (auto e = A.finite_edges_begin(); e != A.finite_edges_end(); ++e) {
        // The edge seen from a finite face (the library may give a hull
        // edge from its infinite one).
        face_handle f = e->first;
        int i = e->second;
        if (A.is_infinite(f)) {
            const face_handle g = f->neighbor(i);
            i = g->index(f);
            f = g;
        }
        const face_handle n = f->neighbor(i);
        const edge_interval a = edge_interval_of(A, values, f, i);
        if (!A.is_infinite(n)) {
            // The same from the other face; the entry kept with the first.
            const edge_interval b = edge_interval_of(A, values, n, n->index(f));
            EXPECT_EQ(a.own, b.own);
            EXPECT_EQ(a.lower, b.lower);
            EXPECT_EQ(a.upper, b.upper);
            const bool f_first = is_first_face_of_edge(A, f, i);
            EXPECT_EQ(f_first ? of(f).entry[i] : of(n).entry[n->index(f)], a.entry());
            EXPECT_TRUE(std::isnan(f_first ? of(n).entry[n->index(f)] : of(f).entry[i]));
        } else {
            EXPECT_EQ(of(f).entry[i], a.entry());
        }
        const bare_point p = f->vertex(regular_triangulation::cw(i))->point().point();
        const bare_point q = f->vertex(regular_triangulation::ccw(i))->point().point();
        const double length2 = CGAL::squared_distance(p, q);
        if (length2 == 16) {  // AB, interior and attached
            EXPECT_EQ(a.own, ATTACHED);
            EXPECT_NEAR(a.lower, 6.25, 1e-12);
            EXPECT_NEAR(a.upper, 8.41, 1e-12);
        } else if (length2 == 5) {  // AC or CB, convex hull
            EXPECT_DOUBLE_EQ(a.own, 1.25);
            EXPECT_NEAR(a.lower, 6.25, 1e-12);
            EXPECT_EQ(a.upper, HULL_UPPER_ALPHA);
        } else {  // AD or DB, convex hull
            EXPECT_DOUBLE_EQ(a.own, 7.25);
            EXPECT_NEAR(a.lower, 8.41, 1e-12);
            EXPECT_EQ(a.upper, HULL_UPPER_ALPHA);
        }
        ++checked;
    }
    EXPECT_EQ(checked, 5);
}

TEST(AlphaValues, DoNotDependOnTheInsertionOrder)
{
    // Other orders store other vertices first in the same triangles; every
    // triangle's alpha and every edge's interval must come out bit for bit
    // the same.
    std::vector<weighted_point> points;
    cv::RNG rng(5);
    for (int i = 0; i < 300; ++i) points.push_back(wp(rng.uniform(0, 120), rng.uniform(0, 90), rng.uniform(0.0, 40.0)));
    auto values = [](const std::vector<weighted_point>& in) {
        regular_triangulation A;
        for (const weighted_point& p : in) A.insert(p);
        const face_alphas alphas = assign_alpha_values(A);
        std::vector<double> all;
        for (face_handle f : A.finite_face_handles()) all.push_back(alphas[f->info().order].alpha);
        for_each_finite_edge(A, [&](const face_handle& f, int i) {
            const edge_interval e = edge_interval_of(A, alphas, f, i);
            all.insert(all.end(), {e.own, e.lower, e.upper, alphas[f->info().order].entry[i]});
        });
        std::sort(all.begin(), all.end());
        return all;
    };
    const std::vector<double> forward = values(points);
    std::reverse(points.begin(), points.end());
    EXPECT_EQ(values(points), forward);
}

TEST(AlphaValues, NumberFacesAndVerticesByStoragePositionOnAnyThreadCount)
{
    // The walk that gives the faces their alphas numbers them too, each
    // thread from the position its run starts at.
    regular_triangulation A;
    cv::RNG rng(11);
    for (int i = 0; i < 200; ++i) A.insert(wp(rng.uniform(0, 80), rng.uniform(0, 80), rng.uniform(0.0, 9.0)));
    for (int threads : {1, 2, 3, 7}) {
        SCOPED_TRACE(threads);
        for (auto f = A.all_faces_begin(); f != A.all_faces_end(); ++f) f->info().order = 0;
        for (auto v = A.tds().vertices_begin(); v != A.tds().vertices_end(); ++v) v->info() = 0;
        EXPECT_EQ(assign_alpha_values(A, threads).size(), A.tds().number_of_faces());
        std::size_t position = 0;
        for (auto f = A.all_faces_begin(); f != A.all_faces_end(); ++f) ASSERT_EQ(f->info().order, position++);
        position = 0;
        for (auto v = A.tds().vertices_begin(); v != A.tds().vertices_end(); ++v) ASSERT_EQ(v->info(), position++);
    }
}

// What a regular triangulation shows of its state: its finite triangles
// (each as its corners in lexicographic order), then its hidden points,
// both sorted.
template <class Triangulation>
std::vector<std::vector<double>> state_of(const Triangulation& t)
{
    std::vector<std::vector<double>> triangles, hidden;
    for (auto f = t.finite_faces_begin(); f != t.finite_faces_end(); ++f) {
        std::vector<std::vector<double>> corners;
        for (int i = 0; i < 3; ++i) {
            const weighted_point& p = f->vertex(i)->point();
            corners.push_back({p.x(), p.y(), p.weight()});
        }
        std::sort(corners.begin(), corners.end());
        triangles.push_back({});
        for (const std::vector<double>& c : corners) triangles.back().insert(triangles.back().end(), c.begin(), c.end());
    }
    for (auto v = t.hidden_vertices_begin(); v != t.hidden_vertices_end(); ++v)
        hidden.push_back({v->point().x(), v->point().y(), v->point().weight()});
    std::sort(triangles.begin(), triangles.end());
    std::sort(hidden.begin(), hidden.end());
    triangles.push_back({-1});  // between the two
    triangles.insert(triangles.end(), hidden.begin(), hidden.end());
    return triangles;
}

TEST(RegularTriangulation, CompactHiddenListsBehaveAsTheLibrarysOwn)
{
    // Heavy points hide light ones near them, and removing vertices brings
    // hidden ones back: the faces' lists of hidden vertices are filled,
    // spliced, emptied and copied. With the compact lists the triangulation
    // must stay valid (which checks every list) and equal, step for step, to
    // one whose faces keep the library's own lists.
    using library_faces = CGAL::Regular_triangulation_face_base_2<
        kernel, CGAL::Triangulation_face_base_with_info_2<face_order, kernel>>;
    using library_triangulation = CGAL::Regular_triangulation_2<
        triangulation_traits, CGAL::Triangulation_data_structure_2<vertex_base, library_faces>>;
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> coord(0, 40), weight(0, 30);
    std::vector<weighted_point> points;
    for (int i = 0; i < 600; ++i) points.push_back(wp(coord(rng), coord(rng), weight(rng)));
    regular_triangulation compact;
    library_triangulation library;
    for (const weighted_point& p : points) {
        compact.insert(p);
        library.insert(p);
    }
    ASSERT_GT(compact.number_of_hidden_vertices(), 50u);
    ASSERT_TRUE(compact.is_valid());
    EXPECT_EQ(state_of(compact), state_of(library));

    // Both store their vertices in the same order: remove every third.
    const auto remove_every_third = [](auto& t) {
        std::vector<typename std::decay_t<decltype(t)>::Vertex_handle> doomed;
        int k = 0;
        for (auto v = t.finite_vertices_begin(); v != t.finite_vertices_end(); ++v)
            if (k++ % 3 == 0) doomed.push_back(v);
        for (const auto& v : doomed) t.remove(v);
    };
    remove_every_third(compact);
    remove_every_third(library);
    ASSERT_TRUE(compact.is_valid());
    EXPECT_EQ(state_of(compact), state_of(library));

    const regular_triangulation copy = compact;
    ASSERT_TRUE(copy.is_valid());
    EXPECT_EQ(state_of(copy), state_of(compact));
}

TEST(FetchAhead, WalksVisitEachFaceOnceInOrderAfterAskingForItAtBothDistances)
{
    // Runs shorter than either distance, between them and longer, from the
    // start of the storage and from its middle: every face visited once in
    // storage order, and asked for once at each distance before its visit,
    // as many faces ahead as the run allows.
    regular_triangulation A;
    cv::RNG rng(3);
    for (int i = 0; i < 60; ++i) A.insert(wp(rng.uniform(0, 50), rng.uniform(0, 50), rng.uniform(0.0, 5.0)));
    number_faces(A);
    const int total = static_cast<int>(A.tds().number_of_faces());
    ASSERT_GT(total, FETCH_FAR + 20);
    for (int start : {0, total / 3})
        for (int length : {0, 1, FETCH_NEAR - 1, FETCH_NEAR + 1, FETCH_FAR, FETCH_FAR + 7, total - start}) {
            SCOPED_TRACE(std::to_string(start) + " + " + std::to_string(length));
            face_iterator begin = A.all_faces_begin();
            std::advance(begin, start);
            face_iterator end = begin;
            std::advance(end, length);
            std::vector<int> visited, asked_far, asked_near, visits_before_far, visits_before_near;
            const auto order = [start](const face_iterator& f) { return static_cast<int>(f->info().order) - start; };
            walk_fetching_ahead(
                begin, end,
                [&](const face_iterator& f) {
                    asked_far.push_back(order(f));
                    visits_before_far.push_back(static_cast<int>(visited.size()));
                },
                [&](const face_iterator& f) {
                    asked_near.push_back(order(f));
                    visits_before_near.push_back(static_cast<int>(visited.size()));
                },
                [&](const face_iterator& f) { visited.push_back(order(f)); });
            std::vector<int> expected(length);
            std::iota(expected.begin(), expected.end(), 0);
            EXPECT_EQ(visited, expected);
            EXPECT_EQ(asked_far, expected);
            EXPECT_EQ(asked_near, expected);
            for (int k = 0; k < length; ++k) {
                EXPECT_EQ(visits_before_far[k], std::max(0, k - FETCH_FAR)) << k;
                EXPECT_EQ(visits_before_near[k], std::max(0, k - FETCH_NEAR)) << k;
            }
        }
}

TEST(EdgePoints, CollinearPointsGetMidpointsToo)
{
    // All points on one line: a one-dimensional triangulation.
    regular_triangulation A;
    for (double x : {0.0, 8.0, 12.0}) A.insert(wp(x, 5, 1));
    ASSERT_EQ(A.dimension(), 1);
    EXPECT_EQ(gap_midpoints(A, 11.0), (std::vector<bare_point>{bare_point(4, 5)}));
}

// Whether c lies strictly inside the smallest circle orthogonal to (o, e),
// in exact rational arithmetic: power(c, centre) < w_c, the centre on the
// segment at the parameter where the powers of o and e are equal.
bool exactly_attached(const weighted_point& o, const weighted_point& e, const weighted_point& c)
{
    using Q = CGAL::Exact_rational;
    const Q ex = Q(e.x()) - o.x(), ey = Q(e.y()) - o.y(), cx = Q(c.x()) - o.x(), cy = Q(c.y()) - o.y();
    const Q D = ex * ex + ey * ey;
    const Q t = (D + o.weight() - e.weight()) / (2 * D);
    const Q px = cx - t * ex, py = cy - t * ey;
    const Q squared_radius = t * t * D - o.weight();
    return px * px + py * py - c.weight() < squared_radius;
}

TEST(ExactTests, FastPathsAgreeWithExactArithmetic)
{
    // Pixel positions and weights like the detector's, on a small grid so
    // that many configurations are degenerate or nearly so (cocircular
    // points, equal weights), plus far-apart and fractional ones.
    std::mt19937 rng(11);
    const auto point = [&](int spread, bool fractional) {
        const double x = static_cast<double>(rng() % spread), y = static_cast<double>(rng() % spread);
        const double w = fractional ? (10.0 + rng() % 1000) * (30.25 / 255.0) : static_cast<double>(rng() % 4);
        return weighted_point(bare_point(x, y), w);
    };
    const power_test fast;
    const power_test::exact_test exact;
    int degenerate = 0;
    for (int k = 0; k < 200000; ++k) {
        const int spread = k % 3 == 0 ? 6 : k % 3 == 1 ? 40 : 100000;
        const bool fractional = k % 2 == 0;
        const weighted_point p = point(spread, fractional), q = point(spread, fractional), r = point(spread, fractional),
                             t = point(spread, fractional);
        if (p.point() != q.point()) {
            ASSERT_EQ(is_attached(p, q, r), exactly_attached(p, q, r)) << k;
        }
        if (CGAL::orientation(p.point(), q.point(), r.point()) != CGAL::LEFT_TURN) continue;
        const CGAL::Oriented_side expected = exact(p, q, r, t);
        degenerate += expected == CGAL::ON_ORIENTED_BOUNDARY;
        ASSERT_EQ(fast(p, q, r, t), expected) << k;
    }
    EXPECT_GT(degenerate, 100);  // the exact fallback was exercised
}
