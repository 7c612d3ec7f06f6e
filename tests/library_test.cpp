// The public API: region conversions, option validation, region files with
// both origin offsets, in-memory detection of every accepted image type,
// detection from many threads at once, and the union of several passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <random>
#include <thread>

#include "ellipse/near_duplicates.h"
#include "orvo/orvo.h"
#include "tests/fuzz/fuzz_bodies.h"
#include "tests/generated_image.h"
#include "tests/test_support.h"

namespace {

// The ellipse centred at (x, y) with semi-axes `major` and `minor`, the
// major one at `angle` radians clockwise in image axes.
orvo::Region ellipse_with_axes(double x, double y, double major, double minor, double angle)
{
    const double c = std::cos(angle), s = std::sin(angle);
    const double u = 1 / (major * major), v = 1 / (minor * minor);
    return {x, y, c * c * u + s * s * v, c * s * (u - v), s * s * u + c * c * v};
}

// Semi-axes 30 and 12, the major one at `degrees` clockwise in image axes.
orvo::Region rotated_ellipse(double x, double y, double degrees)
{
    return ellipse_with_axes(x, y, 30, 12, degrees * CV_PI / 180);
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

// The process's locale set to one that writes a decimal comma, for the
// scope; restored after.
class comma_locale {
public:
    comma_locale() : previous_(std::setlocale(LC_ALL, nullptr)), set_(set_decimal_comma_locale()) {}
    ~comma_locale() { std::setlocale(LC_ALL, previous_.c_str()); }
    bool set() const { return set_; }

private:
    std::string previous_;
    bool set_;
};

TEST(RegionFile, SameBytesAndValuesInALocaleWithADecimalComma)
{
    temp_dir dir;
    // Negative values that round to zero, a tie at the eleventh decimal, a
    // number of hundreds of digits.
    const std::vector<orvo::Region> regions = {{10.25, 20.5, 0.25, -1e-12, 1 / 2048.0}, {3, 4, 1e200, 0, 1e201}};
    cv::Mat descriptors(2, orvo::DESCRIPTOR_SIZE, CV_8U, cv::Scalar(7));
    orvo::write_region_file(dir / "c.txt", regions);
    orvo::write_descriptor_file(dir / "c.sift", regions, descriptors);
    const std::string expected = read_file(dir / "c.txt");
    EXPECT_EQ(expected.rfind("0.000000\n2\n12.2500000000 22.5000000000 0.2500000000 -0.0000000000 0.0004882812\n"
                             "5.0000000000 6.0000000000 9999999999999999697",
                             0),
              0u);
    {
        const comma_locale comma;
        if (!comma.set()) GTEST_SKIP() << "no locale with a decimal comma (scripts/setup.sh generates de_DE.UTF-8)";
        orvo::write_region_file(dir / "comma.txt", regions);
        orvo::write_descriptor_file(dir / "comma.sift", regions, descriptors);
        EXPECT_EQ(read_file(dir / "comma.txt"), expected);
        EXPECT_EQ(read_file(dir / "comma.sift"), read_file(dir / "c.sift"));
        const std::vector<orvo::Region> back = orvo::read_region_file(dir / "comma.txt");
        ASSERT_EQ(back.size(), 2u);
        EXPECT_EQ(back[0].x, 10.25);
        EXPECT_EQ(back[1].c, 1e201);
        EXPECT_EQ(orvo::read_region_file(dir / "comma.sift").size(), 2u);
        write_file(dir / "commas.txt", "0\n1\n12,25 22,5 0,25 0 0,06\n");
        EXPECT_THROW(orvo::read_region_file(dir / "commas.txt"), orvo::RegionFileError);
    }
}

TEST(Validity, WhatIsReturnedIsFiniteAndWhatIsWrittenReadsBack)
{
    // Scales whose square overflows or vanishes are refused up front.
    for (const double scale : {1e-160, 1e160, 0.0, -1.0, double(NAN), double(INFINITY)}) {
        orvo::DetectorOptions options;
        options.scale = scale;
        EXPECT_THROW(options.validate(), std::invalid_argument) << scale;
    }
    const orvo::Region r{5, 5, 0.01, 0.001, 0.02};
    for (const double factor : {1e200, 1e-200, 0.0, double(NAN)}) EXPECT_THROW(orvo::scaled(r, factor), std::invalid_argument);
    EXPECT_THROW(orvo::scaled({5, 5, 1, 2, 1}, 2), std::invalid_argument);
    EXPECT_THROW(orvo::from_keypoint(cv::KeyPoint(1, 1, 0)), std::invalid_argument);
    EXPECT_THROW(orvo::from_keypoint(cv::KeyPoint(NAN, 1, 4)), std::invalid_argument);
    const orvo::Region vast{0, 0, 1e-200, 0, 1e-200}, tiny{0, 0, 1e200, 0, 1e200};  // valid, but a c is out of range
    for (const orvo::Region& extreme_region : {vast, tiny}) {
        EXPECT_THROW(orvo::to_keypoint(extreme_region), std::invalid_argument);
        EXPECT_THROW(orvo::to_affine_frame(extreme_region), std::invalid_argument);
    }
    const std::vector<orvo::Region> extreme = orvo::detect(shapes_image(), [] {
        orvo::DetectorOptions o;
        o.scale = orvo::MIN_SCALE;
        return o;
    }());
    ASSERT_FALSE(extreme.empty());
    for (const orvo::Region& e : extreme) EXPECT_TRUE(orvo::is_valid(e));

    // Regions whose matrices would be written as zeros, and regions that are
    // not valid, are refused before anything is written.
    temp_dir dir;
    write_file(dir / "old.txt", "old\n");
    const orvo::Region huge = orvo::scaled(r, 1e6);  // semi-axes of some 10^7 pixels
    ASSERT_TRUE(orvo::is_valid(huge));
    const std::vector<std::vector<orvo::Region>> unwritable = {
        {r, huge}, {{5, 5, NAN, 0, 1}}, {{5, 5, 1, 0, -1}}, {{INFINITY, 5, 1, 0, 1}}};
    for (const std::vector<orvo::Region>& regions : unwritable) {
        EXPECT_FALSE(orvo::unwritable_reason(regions).empty());
        EXPECT_THROW(orvo::write_region_file(dir / "old.txt", regions), std::invalid_argument);
        EXPECT_THROW(orvo::write_descriptor_file(dir / "old.txt", regions,
                                                 cv::Mat(static_cast<int>(regions.size()), 128, CV_8U)),
                     std::invalid_argument);
    }
    EXPECT_EQ(orvo::unwritable_reason({r, huge}),
              "region 2 would be written as a = 0.0000000000, b = 0.0000000000, c = 0.0000000000, not positive "
              "definite at ten decimals");
    EXPECT_EQ(read_file(dir / "old.txt"), "old\n");
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"old.txt"});
    EXPECT_EQ(orvo::unwritable_reason({r}), "");
}

TEST(Validity, EveryOptionGivesRegionsOnTheImage)
{
    // Noise (sub-pixel edge points nearly in a line gave hulls whose area was
    // rounding alone, their ellipses not positive definite or centred far off
    // the image), stripes and images of a few pixels, with every way of
    // placing the edge points and the hulls, and nothing left out by the
    // threshold or the area.
    const auto noise = [](int width, int height, int seed) {
        cv::Mat image(height, width, CV_8UC1);
        cv::RNG(seed).fill(image, cv::RNG::UNIFORM, 0, 256);
        return image;
    };
    cv::Mat stripes(30, 40, CV_8UC1);
    for (int c = 0; c < stripes.cols; ++c) stripes.col(c).setTo((c / 2) % 2 ? 230 : 20);
    const std::vector<cv::Mat> images = {noise(76, 55, 8), noise(139, 100, 17), stripes, noise(1, 1, 1),
                                         noise(3, 2, 2), noise(6, 5, 3)};
    std::vector<orvo::DetectorOptions> sweep;
    for (int placing = 0; placing < 8; ++placing) {
        for (const int step : {1, 2, 5}) {
            orvo::DetectorOptions o;
            o.threshold = 0;
            o.min_area = 0;
            o.edge_step = step;
            o.subpixel_edges = placing & 1;
            o.exact_hull = placing & 2;
            o.edge_pixel_hull = placing & 4;
            sweep.push_back(o);
        }
    }
    orvo::DetectorOptions dense = orvo::DetectorOptions::dense();
    dense.threshold = 0;
    dense.min_area = 0;
    sweep.push_back(dense);
    for (std::size_t k = 0; k < images.size(); ++k) {
        const cv::Mat& image = images[k];
        for (const orvo::DetectorOptions& o : sweep) {
            for (const orvo::Region& r : orvo::detect(image, o)) {
                const std::string where = "image " + std::to_string(k) + ", step " + std::to_string(o.edge_step) +
                                          ", sub-pixel " + std::to_string(o.subpixel_edges) + ", exact " +
                                          std::to_string(o.exact_hull) + ", edge pixels " +
                                          std::to_string(o.edge_pixel_hull);
                ASSERT_TRUE(orvo::is_valid(r)) << where;
                ASSERT_TRUE(r.x >= 0 && r.x <= image.cols - 1 && r.y >= 0 && r.y <= image.rows - 1)
                    << where << ": centre " << r.x << ", " << r.y;
            }
        }
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
    // The grey image of the colour one's regions, as detector.h shows it.
    cv::cvtColor(colour, grey, cv::COLOR_RGB2GRAY);
    EXPECT_TRUE(same_regions(orvo::detect(grey), reference));
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

TEST(Detect, ThreadCountsGiveTheRegionsOfOneThread)
{
    // Large enough for the tree to be built in blocks on the threads.
    for (unsigned seed : {2u, 5u}) {
        const cv::Mat image = generated_image(720, 540, seed);
        for (orvo::DetectorOptions options : {orvo::DetectorOptions(), orvo::DetectorOptions::dense()}) {
            const std::vector<orvo::Region> one = orvo::detect(image, options);
            EXPECT_FALSE(one.empty());
            for (int threads : {2, 3}) {
                options.threads = threads;
                EXPECT_TRUE(same_regions(orvo::detect(image, options), one)) << seed << ", " << threads << " threads";
            }
        }
    }
}

TEST(AlphaFeatures, KeyPointsAndDescriptorsOfTheRegions)
{
    const cv::Mat image = shapes_image();
    const cv::Ptr<orvo::AlphaFeatures> features = orvo::AlphaFeatures::create();
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
    features->detectAndCompute(image, cv::noArray(), keypoints, descriptors);
    const std::vector<orvo::Region> regions = orvo::detect(image);
    ASSERT_EQ(keypoints.size(), regions.size());
    EXPECT_EQ(descriptors.rows, static_cast<int>(regions.size()));
    EXPECT_EQ(descriptors.type(), CV_32F);
    cv::Mat expected_rows;
    orvo::describe(image, orvo::scaled(regions, orvo::MEASUREMENT_SCALE)).convertTo(expected_rows, CV_32F);
    EXPECT_EQ(cv::norm(descriptors, expected_rows, cv::NORM_INF), 0);
    EXPECT_EQ(features->getDefaultName(), "Feature2D.AlphaFeatures");
    EXPECT_THROW(orvo::AlphaFeatures::create({}, 0), std::invalid_argument);

    // Keypoints that cannot be described leave the vector, and each
    // remaining one keeps its descriptor row.
    std::vector<cv::KeyPoint> given = {keypoints[0], cv::KeyPoint(10, 10, 0), keypoints[1],
                                       cv::KeyPoint(10, 10, 1e-30f), cv::KeyPoint(10, 10, 1e30f),
                                       cv::KeyPoint(10, 10, -5)};
    cv::Mat circles;
    features->compute(image, given, circles);
    ASSERT_EQ(given.size(), 2u);
    EXPECT_EQ(given[1].pt, keypoints[1].pt);
    std::vector<cv::KeyPoint> first_two(keypoints.begin(), keypoints.begin() + 2);
    cv::Mat expected;
    features->compute(image, first_two, expected);
    EXPECT_EQ(cv::norm(circles, expected, cv::NORM_INF), 0);

    // Masks as OpenCV's detectors take them: empty, or CV_8UC1 of the
    // image's size, a region kept where the mask is set at its centre.
    cv::Mat left(image.size(), CV_8UC1, cv::Scalar(0));
    left.colRange(0, image.cols / 2).setTo(255);
    std::vector<cv::KeyPoint> masked;
    features->detect(image, masked, left);
    std::size_t on_the_left = 0;
    for (const cv::KeyPoint& k : keypoints) on_the_left += cvRound(k.pt.x) < image.cols / 2;
    EXPECT_EQ(masked.size(), on_the_left);
    EXPECT_GT(on_the_left, 0u);
    for (const cv::Mat& bad : {cv::Mat(10, 10, CV_8UC1, cv::Scalar(1)), cv::Mat(image.size(), CV_32F, cv::Scalar(1)),
                               cv::Mat(image.size(), CV_8UC3, cv::Scalar(1))})
        EXPECT_THROW(features->detect(image, masked, bad), std::invalid_argument);
}

// The Feature2D idioms OpenCV users rely on, as with SIFT: detect then
// compute gives detectAndCompute's descriptors, FLANN matches them, and the
// responses rank the keypoints for retainBest and nfeatures.
TEST(AlphaFeatures, DetectThenComputeFlannAndRetainBest)
{
    const cv::Mat image = generated_image(640, 480, 4);
    orvo::DetectorOptions options = orvo::DetectorOptions::dense();
    options.pyramid_levels = 1;
    for (const int type : {CV_32F, CV_8U}) {
        const cv::Ptr<orvo::AlphaFeatures> features = orvo::AlphaFeatures::create(options, 3, 0, type);
        std::vector<cv::KeyPoint> together, detected;
        cv::Mat at_once, afterwards;
        features->detectAndCompute(image, cv::noArray(), together, at_once);
        features->detect(image, detected);
        // A later detection of another image does not make the first one's ellipses forgotten.
        std::vector<cv::KeyPoint> other;
        features->detect(generated_image(320, 240, 8), other);
        features->compute(image, detected, afterwards);
        ASSERT_GT(together.size(), 50u);
        ASSERT_EQ(detected.size(), together.size());
        EXPECT_EQ(afterwards.type(), type);
        EXPECT_EQ(cv::norm(at_once, afterwards, cv::NORM_INF), 0) << type;
    }

    // A keypoint that is not one of the object's (its angle changed) is
    // described by its circle, as before; the object's own by its ellipse.
    const cv::Ptr<orvo::AlphaFeatures> features = orvo::AlphaFeatures::create(options);
    std::vector<cv::KeyPoint> keypoints;
    cv::Mat descriptors;
    features->detectAndCompute(image, cv::noArray(), keypoints, descriptors);
    const std::vector<orvo::Region> regions = orvo::detect(image, options);
    ASSERT_EQ(regions.size(), keypoints.size());
    const auto elongated = keypoints.begin() + (std::find_if(regions.begin(), regions.end(), [](const orvo::Region& r) {
        return orvo::axes(r).major > 1.5 * orvo::axes(r).minor;
    }) - regions.begin());
    ASSERT_NE(elongated, keypoints.end());
    cv::KeyPoint turned = *elongated;
    turned.angle += 1;
    std::vector<cv::KeyPoint> own{*elongated}, foreign{turned};
    cv::Mat own_row, foreign_row, circle_row;
    features->compute(image, own, own_row);
    features->compute(image, foreign, foreign_row);
    orvo::describe(image, {orvo::scaled(orvo::from_keypoint(turned), 3)}).convertTo(circle_row, CV_32F);
    EXPECT_EQ(cv::norm(own_row, descriptors.row(static_cast<int>(elongated - keypoints.begin())), cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(foreign_row, circle_row, cv::NORM_INF), 0);

    // FLANN's default KD-tree index takes the descriptors; the image moved
    // by (12, 7) pixels is matched at that offset.
    cv::Mat moved;
    cv::warpAffine(image, moved, cv::Matx23d(1, 0, 12, 0, 1, 7), image.size(), cv::INTER_LINEAR,
                   cv::BORDER_REFLECT);
    std::vector<cv::KeyPoint> moved_keypoints;
    cv::Mat moved_descriptors;
    features->detectAndCompute(moved, cv::noArray(), moved_keypoints, moved_descriptors);
    std::vector<std::vector<cv::DMatch>> nearest;
    cv::FlannBasedMatcher().knnMatch(descriptors, moved_descriptors, nearest, 2);
    int distinct = 0, at_offset = 0;
    for (const std::vector<cv::DMatch>& m : nearest) {
        if (m.size() < 2 || m[0].distance > 0.8 * m[1].distance) continue;
        ++distinct;
        const cv::Point2f offset = moved_keypoints[m[0].trainIdx].pt - keypoints[m[0].queryIdx].pt;
        at_offset += std::hypot(offset.x - 12, offset.y - 7) < 2;
    }
    EXPECT_GT(distinct, 30);
    EXPECT_GT(at_offset, 0.8 * distinct);

    // Responses are the regions' strengths, at least the threshold;
    // retainBest keeps the strongest, and nfeatures keeps the same ones.
    for (std::size_t k = 0; k < regions.size(); ++k) {
        EXPECT_GE(regions[k].strength, options.threshold);
        EXPECT_FLOAT_EQ(keypoints[k].response, static_cast<float>(regions[k].strength));
    }
    std::vector<float> responses;
    for (const cv::KeyPoint& k : keypoints) responses.push_back(k.response);
    std::sort(responses.rbegin(), responses.rend());
    const int best = 20;
    ASSERT_GT(responses[best - 1], responses.back());
    std::vector<cv::KeyPoint> retained = keypoints;
    cv::KeyPointsFilter::retainBest(retained, best);
    ASSERT_GE(retained.size(), static_cast<std::size_t>(best));
    for (const cv::KeyPoint& k : retained) EXPECT_GE(k.response, responses[best - 1]);
    std::vector<cv::KeyPoint> limited;
    orvo::AlphaFeatures::create(options, 3, best)->detect(image, limited);
    ASSERT_EQ(limited.size(), static_cast<std::size_t>(best));
    for (const cv::KeyPoint& k : limited) EXPECT_GE(k.response, responses[best - 1]);
    EXPECT_THROW(orvo::AlphaFeatures::create(options, 3, -1), std::invalid_argument);
    EXPECT_THROW(orvo::AlphaFeatures::create(options, 3, 0, CV_16U), std::invalid_argument);
}

TEST(MultiScale, NearDuplicatesAreDecidedByTheOverlapErrorAlone)
{
    // Pairs of random ellipses, thin or round, turned, near one another or
    // apart: the second is dropped exactly when its overlap error with the
    // first is below the limit, whatever the bounds that spare the exact
    // comparison decide.
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> unit(0, 1);
    const auto ellipse = [&](double x, double y) {
        const double major = 2 + 30 * unit(rng), minor = major * (0.05 + 0.95 * unit(rng));
        return ellipse_with_axes(x, y, major, minor, CV_PI * unit(rng));
    };
    int dropped = 0, kept = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const orvo::Region p = ellipse(100, 100);
        const orvo::Region q = trial % 3 == 0 ? orvo::scaled(p, 0.8 + 0.4 * unit(rng))
                                              : ellipse(100 + 40 * unit(rng) - 20, 100 + 40 * unit(rng) - 20);
        const double error = orvo::detail::overlap_error(p, q);
        for (const double limit : {0.1, 0.3, 0.5, 0.8}) {
            const bool repeats = orvo::detail::drop_near_duplicates({p, q}, limit).size() == 1;
            EXPECT_EQ(repeats, error < limit) << "trial " << trial << ", limit " << limit << ", error " << error;
            (repeats ? dropped : kept) += 1;
        }
    }
    EXPECT_GT(dropped, 1000);
    EXPECT_GT(kept, 1000);
}

TEST(MultiScale, NearDuplicatesJustEitherSideOfTheLimit)
{
    // Pairs whose overlap error is within a ten-thousandth of the limit (a
    // copy grown a little and moved along a random direction, the distance
    // found by bisection), where a bound that settles a pair before the
    // exact comparison would first go wrong: the second region is dropped
    // exactly when its error is below the limit.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> unit(0, 1);
    int below = 0, above = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const double major = 3 + 40 * unit(rng), minor = major * (0.1 + 0.9 * unit(rng));
        const orvo::Region p = ellipse_with_axes(500, 400, major, minor, CV_PI * unit(rng));
        const orvo::Region grown = orvo::scaled(p, 1 + 0.1 * unit(rng));
        const double direction = 2 * CV_PI * unit(rng), limit = trial % 2 ? 0.3 : 0.5;
        const auto moved = [&](double t) {
            orvo::Region q = grown;
            q.x += t * std::cos(direction);
            q.y += t * std::sin(direction);
            return q;
        };
        double near = 0, far = 2 * major;
        if (orvo::detail::overlap_error(p, moved(near)) >= limit) continue;
        for (int k = 0; k < 60; ++k) {
            const double middle = (near + far) / 2;
            (orvo::detail::overlap_error(p, moved(middle)) < limit ? near : far) = middle;
        }
        for (const double t : {near, far}) {
            const orvo::Region q = moved(t);
            const double error = orvo::detail::overlap_error(p, q);
            ASSERT_LT(std::abs(error - limit), 1e-4);
            const bool repeats = orvo::detail::drop_near_duplicates({p, q}, limit).size() == 1;
            EXPECT_EQ(repeats, error < limit) << "trial " << trial << ", error " << error;
            (error < limit ? below : above) += 1;
        }
    }
    EXPECT_GT(below, 300);
    EXPECT_GT(above, 300);
}

TEST(MultiScale, ConcentricCopiesJustEitherSideOfTheAreaRatio)
{
    // A region and a copy grown about its centre, one holding the other, so
    // that the error (1 less the ratio of their areas) is within a few
    // millionths of the limit, where a test of the areas alone that passes
    // a pair over would first go wrong: the copy is dropped exactly when its
    // error is below the limit.
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> unit(0, 1);
    int below = 0, above = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const double major = 2 + 60 * unit(rng), minor = major * (0.05 + 0.95 * unit(rng));
        const double angle = CV_PI * unit(rng), x = 300 * unit(rng), y = 200 * unit(rng);
        const orvo::Region p = ellipse_with_axes(x, y, major, minor, angle);
        const double limit = trial % 3 == 0 ? 0.1 : trial % 3 == 1 ? 0.3 : 0.6;
        const double off = (trial % 2 ? 1 : -1) * 1e-6 * (1 + 4 * unit(rng));
        const orvo::Region q = orvo::scaled(p, (1 + off) / std::sqrt(1 - limit));
        const double error = orvo::detail::overlap_error(p, q);
        ASSERT_LT(std::abs(error - limit), 1e-4);
        EXPECT_EQ(orvo::detail::near_duplicates_kept({p, q}, limit).size(), error < limit ? 1u : 2u)
            << "trial " << trial << ", error " << error;
        (error < limit ? below : above) += 1;
    }
    EXPECT_GT(below, 100);
    EXPECT_GT(above, 100);
}

TEST(MultiScale, NearlyIdenticalRegionsRepeatEvenWhereThePolygonIntersectionMisjudgesThem)
{
    // Two regions found on an Oxford wall image, their centres 0.03 pixels
    // apart and their shapes alike within 0.5 %: the image library's
    // intersection of their polygons gives an overlap error of 0.46 for
    // them, while their common area is bounded below at 98 % of either. The
    // bound decides: the second repeats the first.
    const orvo::Region p{107.822653, 605.423105, 0.002302176744, -0.001162576065, 0.006545148984};
    const orvo::Region q{107.813296, 605.392015, 0.002297679468, -0.001163312462, 0.006580226301};
    EXPECT_EQ(orvo::detail::near_duplicates_kept({p, q}, 0.3), std::vector<std::size_t>{0});
}

TEST(MultiScale, NearDuplicatesAsEveryPairCompared)
{
    // Many regions of every size and shape, clustered so that many repeat
    // one another, some of them long and wide (whose circles reach far
    // across the sweep of their area class): the regions kept are those
    // that comparing each with every region kept before it keeps.
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> unit(0, 1);
    std::vector<orvo::Region> regions;
    std::vector<double> majors;
    std::vector<cv::Point2d> axes;
    for (int k = 0; k < 800; ++k) {
        const double major = k % 10 == 0 ? 40 + 160 * unit(rng) : 2 + 30 * unit(rng);
        const double minor = major * (k % 10 == 0 ? 0.02 + 0.1 * unit(rng) : 0.2 + 0.8 * unit(rng));
        const double angle = CV_PI * unit(rng);
        const double x = std::floor(15 * unit(rng)) * 20 + 3 * unit(rng), y = std::floor(10 * unit(rng)) * 20 + 3 * unit(rng);
        const orvo::Region r = ellipse_with_axes(x, y, major, minor, angle);
        // A copy of one before, grown or shrunk a little and moved along its
        // major axis by up to a tenth of it.
        if (k % 3 == 0 && !regions.empty()) {
            const std::size_t j = rng() % regions.size();
            orvo::Region q = orvo::scaled(regions[j], 0.95 + 0.1 * unit(rng));
            const double shift = majors[j] * (0.2 * unit(rng) - 0.1);
            q.x += shift * axes[j].x;
            q.y += shift * axes[j].y;
            regions.push_back(q);
            majors.push_back(majors[j]);
            axes.push_back(axes[j]);
            continue;
        }
        regions.push_back(r);
        majors.push_back(major);
        axes.emplace_back(std::cos(angle), std::sin(angle));
    }
    std::vector<std::size_t> expected;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        bool repeats = false;
        for (const std::size_t j : expected) repeats = repeats || orvo::detail::overlap_error(regions[j], regions[i]) < 0.3;
        if (!repeats) expected.push_back(i);
    }
    ASSERT_LT(expected.size(), regions.size() * 3 / 4);
    for (const int threads : {1, 3}) EXPECT_EQ(orvo::detail::near_duplicates_kept(regions, 0.3, threads), expected);
}

TEST(MultiScale, UnionOfPassesWithoutNearDuplicates)
{
    const orvo::Region circle{50, 50, 0.01, 0, 0.01};
    EXPECT_NEAR(orvo::detail::overlap_error(circle, circle), 0, 1e-6);
    EXPECT_NEAR(orvo::detail::overlap_error(circle, orvo::scaled(circle, 1.2)), 1 - 1 / 1.44, 0.005);
    EXPECT_EQ(orvo::detail::overlap_error(circle, {90, 50, 0.01, 0, 0.01}), 1.0);
    const std::vector<orvo::Region> kept =
        orvo::detail::drop_near_duplicates({circle, orvo::scaled(circle, 1.05), {80, 50, 0.01, 0, 0.01}, circle}, 0.3);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].x, 80);
    EXPECT_EQ(orvo::detail::near_duplicates_kept({circle, orvo::scaled(circle, 1.05), {80, 50, 0.01, 0, 0.01}, circle}, 0.3),
              (std::vector<std::size_t>{0, 2}));

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
    EXPECT_TRUE(same_regions(united, orvo::detail::drop_near_duplicates(all, 0.3)));
    EXPECT_EQ(united.size() + stats.near_duplicates, all.size());
    for (std::size_t i = 0; i < united.size(); i += 7)
        for (std::size_t j = i + 1; j < united.size(); ++j) EXPECT_GE(orvo::detail::overlap_error(united[i], united[j]), 0.3);
    EXPECT_GT(stats.near_duplicates, 0u);
    both.threads = 2;
    EXPECT_TRUE(same_regions(orvo::detect(image, both), united));
    both.duplicate_overlap = 0;
    EXPECT_TRUE(same_regions(orvo::detect(image, both), all));
    EXPECT_GT(orvo::detect(image, orvo::DetectorOptions::dense()).size(), 3 * coarse.size());
}
