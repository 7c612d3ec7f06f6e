// The public API: region conversions, option validation, region files with
// both origin offsets, in-memory detection of every accepted image type,
// detection from many threads at once, and the union of several passes.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "library/near_duplicates.h"
#include "orvo/orvo.h"
#include "tests/generated_image.h"
#include "tests/test_support.h"

namespace {

// Semi-axes 30 and 12, the major one at `degrees` clockwise in image axes.
orvo::Region rotated_ellipse(double x, double y, double degrees)
{
    const double t = degrees * CV_PI / 180, c = std::cos(t), s = std::sin(t);
    const double l1 = 1 / 900.0, l2 = 1 / 144.0;
    return {x, y, l1 * c * c + l2 * s * s, (l1 - l2) * c * s, l1 * s * s + l2 * c * c};
}

double form(const orvo::Region& r, double u, double v)
{
    return r.a * u * u + 2 * r.b * u * v + r.c * v * v;
}

bool same_regions(const std::vector<orvo::Region>& p, const std::vector<orvo::Region>& q)
{
    if (p.size() != q.size()) return false;
    for (std::size_t i = 0; i < p.size(); ++i)
        if (p[i].x != q[i].x || p[i].y != q[i].y || p[i].a != q[i].a || p[i].b != q[i].b || p[i].c != q[i].c)
            return false;
    return true;
}

}  // namespace

TEST(Region, FramesAndKeyPoints)
{
    for (double degrees : {0.0, 30.0, 100.0, 170.0}) {
        const orvo::Region r = rotated_ellipse(50, 40, degrees);
        const cv::Matx23d frame = orvo::to_affine_frame(r);
        EXPECT_EQ(frame(0, 1), 0.0);  // lower triangular
        for (int k = 0; k < 16; ++k) {
            const double t = k * CV_PI / 8;
            const double u = frame(0, 0) * std::cos(t) + frame(0, 1) * std::sin(t);
            const double v = frame(1, 0) * std::cos(t) + frame(1, 1) * std::sin(t);
            EXPECT_NEAR(form(r, u, v), 1.0, 1e-12);  // the unit circle lands on the boundary
        }
        const orvo::Region back = orvo::from_affine_frame(frame);
        EXPECT_NEAR(back.a, r.a, 1e-15);
        EXPECT_NEAR(back.b, r.b, 1e-15);
        EXPECT_NEAR(back.c, r.c, 1e-15);
        EXPECT_EQ(back.x, 50);

        const cv::KeyPoint k = orvo::to_keypoint(r);
        EXPECT_NEAR(k.size, 2 * std::sqrt(30.0 * 12.0), 1e-4);
        EXPECT_NEAR(k.angle, degrees, 1e-4);
        const orvo::EllipseAxes axes = orvo::axes(r);
        EXPECT_NEAR(axes.major, 30, 1e-9);
        EXPECT_NEAR(axes.minor, 12, 1e-9);
    }
    const cv::KeyPoint circle = orvo::to_keypoint({5, 6, 0.01, 0, 0.01});
    EXPECT_NEAR(circle.size, 20, 1e-5);
    EXPECT_EQ(circle.angle, 0);
    const orvo::Region again = orvo::from_keypoint(circle);
    EXPECT_NEAR(again.a, 0.01, 1e-9);
    EXPECT_EQ(again.b, 0);

    EXPECT_FALSE(orvo::is_valid({0, 0, 1, 1, 1}));
    EXPECT_FALSE(orvo::is_valid({NAN, 0, 1, 0, 1}));
    EXPECT_TRUE(orvo::is_valid({0, 0, 1e-300, 0, 1e-290}));
    EXPECT_THROW(orvo::to_affine_frame({0, 0, 1, 2, 1}), std::invalid_argument);
}

TEST(DetectorOptions, BadValuesAreNamed)
{
    auto message = [](void (*change)(orvo::DetectorOptions&)) {
        orvo::DetectorOptions options;
        change(options);
        try {
            options.validate();
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(message([](orvo::DetectorOptions&) {}), "accepted");
    EXPECT_NE(message([](orvo::DetectorOptions& o) { o.scale = 0; }).find("scale"), std::string::npos);
    EXPECT_NE(message([](orvo::DetectorOptions& o) { o.threshold = NAN; }).find("threshold"), std::string::npos);
    EXPECT_NE(message([](orvo::DetectorOptions& o) { o.edge_step = 0; }).find("edge_step"), std::string::npos);
    EXPECT_NE(message([](orvo::DetectorOptions& o) { o.max_area = -1; }).find("max_area"), std::string::npos);
    EXPECT_NE(message([](orvo::DetectorOptions& o) { o.threads = 0; }).find("threads"), std::string::npos);
    EXPECT_THROW(orvo::detect(cv::Mat(10, 10, CV_32F)), std::invalid_argument);
    EXPECT_THROW(orvo::detect(cv::Mat(10, 10, CV_8UC2)), std::invalid_argument);
    EXPECT_THROW(orvo::detect(cv::Mat()), std::invalid_argument);
}

TEST(RegionFile, OffsetsAndRoundTrip)
{
    temp_dir dir;
    const std::vector<orvo::Region> regions = {{10.25, 20.5, 0.25, -0.01, 0.0625}, {0, 0, 1, 0, 1}};
    orvo::write_region_file(dir / "orvo.txt", regions);
    orvo::write_region_file(dir / "classic.txt", regions, 0.0);
    EXPECT_EQ(read_file(dir / "orvo.txt"),
              "0.000000\n2\n12.2500000000 22.5000000000 0.2500000000 -0.0100000000 0.0625000000\n"
              "2.0000000000 2.0000000000 1.0000000000 0.0000000000 1.0000000000\n");
    for (const auto& [name, offset] : {std::pair<const char*, double>{"orvo.txt", 2.0}, {"classic.txt", 0.0}}) {
        const std::vector<orvo::Region> back = orvo::read_region_file(dir / name, offset);
        EXPECT_TRUE(same_regions(back, regions)) << name;
    }
    write_file(dir / "bad.txt", "0\n1\n1 2 0.1 0 0.1 9\n");
    try {
        orvo::read_region_file(dir / "bad.txt");
        ADD_FAILURE() << "accepted";
    } catch (const orvo::RegionFileError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(dir / "bad.txt:3: ", 0), 0u) << e.what();
    }
}

TEST(Detect, EveryImageTypeGivesTheRegionsOfItsColourImage)
{
    const cv::Mat colour = shapes_image();
    const std::vector<orvo::Region> reference = orvo::detect(colour);
    ASSERT_FALSE(reference.empty());
    cv::Mat deep, bgra, grey, grey3;
    colour.convertTo(deep, CV_16UC3, 257);
    cv::cvtColor(colour, bgra, cv::COLOR_BGR2BGRA);
    EXPECT_TRUE(same_regions(orvo::detect(deep), reference));
    EXPECT_TRUE(same_regions(orvo::detect(bgra), reference));
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(grey, grey3, cv::COLOR_GRAY2BGR);
    EXPECT_TRUE(same_regions(orvo::detect(grey), orvo::detect(grey3)));
    // A view into a larger image (rows not contiguous) reads the same pixels.
    cv::Mat frame(colour.rows + 20, colour.cols + 20, CV_8UC3, cv::Scalar(0, 0, 0));
    colour.copyTo(frame(cv::Rect(10, 10, colour.cols, colour.rows)));
    EXPECT_TRUE(same_regions(orvo::detect(frame(cv::Rect(10, 10, colour.cols, colour.rows))), reference));
}

TEST(Detect, EightThreadsGiveWhatOneThreadGives)
{
    std::vector<cv::Mat> images;
    for (unsigned k = 0; k < 8; ++k) images.push_back(generated_image(560 + 16 * static_cast<int>(k), 480, k + 1));
    orvo::DetectorOptions options;
    options.threshold = 10;
    std::vector<std::vector<orvo::Region>> alone, together(images.size());
    for (const cv::Mat& image : images) alone.push_back(orvo::detect(image, options));
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < images.size(); ++k)
        threads.emplace_back([&, k] {
            cv::Mat descriptors;
            together[k] = orvo::detect(images[k], options);
            descriptors = orvo::describe(images[k], orvo::scaled(together[k], 3));
            EXPECT_EQ(descriptors.rows, static_cast<int>(together[k].size()));
        });
    for (std::thread& t : threads) t.join();
    for (std::size_t k = 0; k < images.size(); ++k) {
        EXPECT_FALSE(alone[k].empty());
        EXPECT_TRUE(same_regions(alone[k], together[k])) << k;
    }
}

TEST(Feature2D, KeyPointsAndDescriptorsOfTheRegions)
{
    const cv::Mat image = shapes_image();
    const cv::Ptr<orvo::Feature2D> features = orvo::Feature2D::create();
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
    features->detectAndCompute(image, cv::noArray(), keypoints, descriptors);
    const std::vector<orvo::Region> regions = orvo::detect(image);
    ASSERT_EQ(keypoints.size(), regions.size());
    EXPECT_EQ(descriptors.rows, static_cast<int>(regions.size()));
    EXPECT_EQ(descriptors.type(), CV_8U);
    EXPECT_EQ(cv::norm(descriptors, orvo::describe(image, orvo::scaled(regions, 3)), cv::NORM_INF), 0);
    cv::Mat circles;
    features->compute(image, keypoints, circles);
    EXPECT_EQ(circles.size(), descriptors.size());
    EXPECT_EQ(features->getDefaultName(), "Orvo.Feature2D");
}

TEST(MultiScale, UnionOfPassesWithoutNearDuplicates)
{
    const orvo::Region circle{50, 50, 0.01, 0, 0.01};
    EXPECT_NEAR(orvo::overlap_error(circle, circle), 0, 1e-6);
    EXPECT_NEAR(orvo::overlap_error(circle, orvo::scaled(circle, 1.2)), 1 - 1 / 1.44, 0.005);
    EXPECT_EQ(orvo::overlap_error(circle, {90, 50, 0.01, 0, 0.01}), 1.0);
    const std::vector<orvo::Region> kept =
        orvo::drop_near_duplicates({circle, orvo::scaled(circle, 1.05), {80, 50, 0.01, 0, 0.01}, circle}, 0.3);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].x, 80);

    const cv::Mat image = generated_image(640, 480, 4);
    orvo::DetectorOptions first, second, both;
    first.threshold = second.threshold = both.threshold = 10;
    second.edge_step = 7;
    both.edge_steps = {11, 7};
    const std::vector<orvo::Region> coarse = orvo::detect(image, first), fine = orvo::detect(image, second);
    orvo::DetectionStats stats;
    const std::vector<orvo::Region> united = orvo::detect(image, both, &stats);
    // The passes' regions in order, less those that repeat one kept before.
    std::vector<orvo::Region> all = coarse;
    all.insert(all.end(), fine.begin(), fine.end());
    EXPECT_TRUE(same_regions(united, orvo::drop_near_duplicates(all, 0.3)));
    EXPECT_EQ(united.size() + stats.near_duplicates, all.size());
    for (std::size_t i = 0; i < united.size(); i += 7)
        for (std::size_t j = i + 1; j < united.size(); ++j) EXPECT_GE(orvo::overlap_error(united[i], united[j]), 0.3);
    EXPECT_GT(stats.near_duplicates, 0u);
    both.threads = 2;
    EXPECT_TRUE(same_regions(orvo::detect(image, both), united));
    both.duplicate_overlap = 0;
    EXPECT_TRUE(same_regions(orvo::detect(image, both), all));
    EXPECT_GT(orvo::detect(image, orvo::DetectorOptions::dense()).size(), 3 * coarse.size());
}
