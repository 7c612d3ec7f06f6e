// The descriptor executable: its file format, the invariance of its
// descriptors under affine warps, and its handling of bad input.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <sstream>

#include "descriptors/image_pyramid.h"
#include "orvo/orvo.h"
#include "tests/generated_image.h"
#include "tests/test_support.h"

namespace {

run_result run_descriptors(const std::vector<std::string>& args, const run_options& options = {})
{
    return run_program(DESCRIPTORS_EXECUTABLE, args, options);
}

// A folder holding a textured image.
struct image_folder {
    temp_dir dir;
    std::string image = dir / "img.png";
    image_folder() { cv::imwrite(image, generated_image(320, 240, 4)); }
};

}  // namespace

TEST(Descriptors, OutputKeepsRegionsAsWrittenInOrder)
{
    image_folder f;
    write_file(f.dir / "regions", "1.0\n3\n100 80 0.01 0 0.02\n\n+50.5 1e2 2.5e-3 -0.0001 0.004\n300.25 10 0.01 0.001 0.01\n");
    const run_result r = run_descriptors({"-o1", f.dir / "out", "-sift", "-p1", f.dir / "regions", "-i", f.image});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream in(read_file(f.dir / "out"));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "128");
    std::getline(in, line);
    EXPECT_EQ(line, "3");
    const char* const expected[] = {"100 80 0.01 0 0.02", "+50.5 1e2 2.5e-3 -0.0001 0.004", "300.25 10 0.01 0.001 0.01"};
    for (const char* prefix : expected) {
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_EQ(line.compare(0, std::strlen(prefix) + 1, std::string(prefix) + " "), 0) << line;
        std::istringstream values(line.substr(std::strlen(prefix)));
        int value, count = 0, sum = 0;
        while (values >> value) {
            EXPECT_GE(value, 0);
            EXPECT_LE(value, 255);
            ++count;
            sum += value;
        }
        EXPECT_EQ(count, 128);
        EXPECT_GT(sum, 0);
    }
    EXPECT_FALSE(std::getline(in, line));
    EXPECT_EQ(list_dir(f.dir.path), (std::vector<std::string>{"img.png", "out", "regions"}));

    write_file(f.dir / "empty", "0.000000\n0\n");
    ASSERT_EQ(run_descriptors({"-i", f.image, "-sift", "-p1", f.dir / "empty", "-o1", f.dir / "out"}).status, 0);
    EXPECT_EQ(read_file(f.dir / "out"), "128\n0\n");
}

TEST(Descriptors, CommandLine)
{
    const run_result none = run_descriptors({});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("Usage: compute_descriptors_64bit.ln"), std::string::npos);
    EXPECT_EQ(run_descriptors({"-i", "a.png", "-p1", "r", "-o1", "o"}).status, 1);  // no -sift
    EXPECT_EQ(run_descriptors({"-i", "a.png", "-sift", "-p1", "r", "-o1"}).status, 1);
    EXPECT_EQ(run_descriptors({"-i", "a.png", "-sift", "-p1", "r", "-o1", "o", "-surf"}).status, 1);
    const run_result help = run_descriptors({"-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: compute_descriptors_64bit.ln"), std::string::npos);
}

TEST(Descriptors, BadInputFailsWithStatusTwoAndNoOutput)
{
    image_folder f;
    write_file(f.dir / "good", "0\n1\n100 80 0.01 0 0.02\n");
    write_file(f.dir / "text.png", "not an image\n");
    struct bad_case {
        std::string regions_text;  // empty: use "good"
        std::string image;
        std::string message;
    };
    const std::vector<bad_case> cases = {
        {"", f.dir / "missing.png", f.dir / "missing.png: unable to read the image"},
        {"", f.dir / "text.png", f.dir / "text.png: unable to read the image"},
        {"0\n2\n100 80 0.01 0 0.02\n", f.image, ":4: the file ends after 1 of 2 regions"},
        {"0\n1\n100 80 0.01 0 0.02\n1 2 0.1 0 0.1\n", f.image, ":4: more regions than the count of 1 says"},
        {"0\n1\n100 80 0.01 zero 0.02\n", f.image, ":3: not a number: \"zero\""},
        {"0\n1\n100 80 0.01 0\n", f.image, ":3: a region needs five numbers: u v a b c"},
        {"0\n1\n100 80 0.01 0.5 0.02\n", f.image, ":3: the matrix [a b; b c] is not positive definite"},
        {"0\n1\n100 80 -0.01 0 -0.02\n", f.image, ":3: the matrix [a b; b c] is not positive definite"},
        {"0\n1\n100 nan 0.01 0 0.02\n", f.image, ":3: not a finite number: \"nan\""},
        {"0\n1\ninf 80 0.01 0 0.02\n", f.image, ":3: not a finite number: \"inf\""},
        {"0\nmany\n", f.image, ":2: the region count must be a whole number"},
        // Positive definite, but no patch to sample: semi-axes of 1e5 and
        // 1e-100 pixels, of 1e150 pixels, a centre 1e8 pixels away.
        {"0\n2\n100 80 0.01 0 0.02\n\n100 80 1e-10 0 1e200\n", f.image, ":5: the region's patch cannot be sampled"},
        {"0\n1\n100 80 1e-300 1e-296 1e-290\n", f.image, ":3: the region's patch cannot be sampled"},
        {"0\n1\n1e8 80 0.01 0 0.02\n", f.image, ":3: the region's patch cannot be sampled"},
        {"", f.image, ""},  // the output folder is missing
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const bad_case& c = cases[k];
        std::string regions = f.dir / "good";
        if (!c.regions_text.empty()) {
            regions = f.dir / ("bad" + std::to_string(k));
            write_file(regions, c.regions_text);
        }
        const std::string output = c.message.empty() ? f.dir / "no/such/folder/out" : f.dir / "out";
        const run_result r = run_descriptors({"-i", c.image, "-sift", "-p1", regions, "-o1", output});
        EXPECT_EQ(r.status, 2) << k;
        if (c.message.empty()) {
            EXPECT_EQ(r.err, "Unable to write file " + output + ": No such file or directory\n");
        } else {
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
            if (!c.regions_text.empty()) {
                EXPECT_EQ(r.err.compare(0, regions.size(), regions), 0) << r.err;
            }
        }
        EXPECT_FALSE(file_exists(f.dir / "out")) << k;
    }
    const run_result missing = run_descriptors({"-i", f.image, "-sift", "-p1", f.dir / "none", "-o1", f.dir / "out"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, f.dir / "none" + ": No such file or directory\n");
}

// 200 elliptical regions on a textured image, and the same regions in a
// copy rotated by 45 degrees, scaled by 0.5 and sheared by `warp`.
struct warped_regions {
    cv::Mat grey, warped;
    cv::Matx22d warp = 0.5 * cv::Matx22d(std::cos(CV_PI / 4), -std::sin(CV_PI / 4), std::sin(CV_PI / 4),
                                         std::cos(CV_PI / 4)) * cv::Matx22d(1, 0.3, 0, 1);
    std::vector<orvo::Region> original, mapped;

    warped_regions()
    {
        cv::cvtColor(generated_image(800, 800, 7), grey, cv::COLOR_BGR2GRAY);
        const cv::Vec2d centre(400, 400);
        const cv::Vec2d shift = centre - warp * centre;
        cv::Mat smoothed;
        cv::GaussianBlur(grey, smoothed, cv::Size(0, 0), 1.0);  // against aliasing when halving
        const cv::Matx23d map(warp(0, 0), warp(0, 1), shift[0], warp(1, 0), warp(1, 1), shift[1]);
        cv::warpAffine(smoothed, warped, map, grey.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);

        std::mt19937 rng(17);
        std::uniform_real_distribution<double> position(220, 580), axis(25, 50), angle(0, CV_PI);
        const cv::Matx22d inverse = warp.inv();
        for (int i = 0; i < 200; ++i) {
            const double x = position(rng), y = position(rng), s1 = axis(rng), s2 = axis(rng), phi = angle(rng);
            const cv::Matx22d R(std::cos(phi), -std::sin(phi), std::sin(phi), std::cos(phi));
            const cv::Matx22d M = R * cv::Matx22d(1 / (s1 * s1), 0, 0, 1 / (s2 * s2)) * R.t();
            original.push_back({x, y, M(0, 0), M(0, 1), M(1, 1)});
            const cv::Vec2d p = warp * cv::Vec2d(x, y) + shift;
            const cv::Matx22d N = inverse.t() * M * inverse;
            mapped.push_back({p[0], p[1], N(0, 0), N(0, 1), N(1, 1)});
        }
    }
};

TEST(Descriptors, InvariantUnderAnAffineWarp)
{
    const warped_regions w;
    cv::Mat d1, d2;
    orvo::describe(w.grey, w.original).convertTo(d1, CV_32F);
    orvo::describe(w.warped, w.mapped).convertTo(d2, CV_32F);

    int correct = 0;
    for (int i = 0; i < d1.rows; ++i) {
        int best = -1;
        double best_distance = 1e300;
        for (int j = 0; j < d2.rows; ++j) {
            const double distance = cv::norm(d1.row(i), d2.row(j), cv::NORM_L2SQR);
            if (distance < best_distance) {
                best_distance = distance;
                best = j;
            }
        }
        correct += best == i;
    }
    EXPECT_GE(correct, 180) << correct << " of 200 matched their partner";
}

TEST(Descriptors, OrientationsFollowTheWarp)
{
    // The warp carries a region's orientation, a direction in the image, to
    // its partner's.
    const warped_regions w;
    std::vector<float> first, second;
    const cv::Mat descriptors = orvo::describe(w.grey, w.original, &first);
    orvo::describe(w.warped, w.mapped, &second);
    ASSERT_EQ(first.size(), w.original.size());
    ASSERT_EQ(second.size(), w.mapped.size());

    // Threads share the regions, not the results.
    std::vector<float> threaded;
    orvo::DescriptorOptions three_threads;
    three_threads.threads = 3;
    EXPECT_EQ(cv::norm(descriptors, orvo::describe(w.grey, w.original, &threaded, three_threads), cv::NORM_INF), 0);
    EXPECT_EQ(threaded, first);

    int agreeing = 0;
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_TRUE(first[i] >= 0 && first[i] < 2 * CV_PI) << first[i];
        const cv::Vec2d carried = w.warp * cv::Vec2d(std::cos(first[i]), std::sin(first[i]));
        const double difference = std::remainder(std::atan2(carried[1], carried[0]) - second[i], 2 * CV_PI);
        agreeing += std::abs(difference) < 5 * CV_PI / 180;
    }
    EXPECT_GE(agreeing, 180) << agreeing << " of 200 within 5 degrees";
}

TEST(Descriptors, ARampPointsUpItsSlope)
{
    // On a linear ramp, every gradient g points up the slope. The patch of a
    // region with matrix M sees the image through T = M^(-1/2), where the
    // gradient becomes T g: turned to it, the patch's x axis shows the image
    // direction T T g = M^-1 g (g itself for a circle), and every cell's
    // weight lies in its first orientation bin.
    const cv::Matx22d M(1 / 400.0, 1 / 2000.0, 1 / 2000.0, 1 / 900.0);
    for (const double slope_angle : {0.3, 2.0, 4.0, 5.5}) {
        const cv::Vec2d g(std::cos(slope_angle), std::sin(slope_angle));
        cv::Mat ramp(200, 200, CV_8UC1);
        for (int y = 0; y < ramp.rows; ++y)
            for (int x = 0; x < ramp.cols; ++x)
                ramp.at<unsigned char>(y, x) =
                    cv::saturate_cast<unsigned char>(128 + 0.6 * ((x - 100) * g[0] + (y - 100) * g[1]));
        for (const orvo::Region& region : {orvo::Region{100, 100, 1 / 900.0, 0, 1 / 900.0},
                                           orvo::Region{100, 100, M(0, 0), M(0, 1), M(1, 1)}}) {
            const cv::Vec2d expected = cv::Matx22d(region.a, region.b, region.b, region.c).inv() * g;
            std::vector<float> orientation;
            const cv::Mat descriptor = orvo::describe(ramp, {region}, &orientation);
            EXPECT_NEAR(std::remainder(orientation[0] - std::atan2(expected[1], expected[0]), 2 * CV_PI), 0, 0.02)
                << slope_angle;
            for (int cell = 0; cell < 16; ++cell) {
                const unsigned char* bins = descriptor.ptr(0) + 8 * cell;
                EXPECT_EQ(std::max_element(bins, bins + 8) - bins, 0) << slope_angle << " " << cell;
            }
        }
    }
}

TEST(Descriptors, RegionsAtTheBorderSeeItsPixelsRepeated)
{
    // Small regions (sampled from the image itself) at and beyond the
    // border, against the same regions in a copy padded by repeating the
    // border pixels, where their samples stay inside.
    cv::Mat grey, padded;
    cv::cvtColor(generated_image(160, 120, 3), grey, cv::COLOR_BGR2GRAY);
    constexpr int pad = 60;
    cv::copyMakeBorder(grey, padded, pad, pad, pad, pad, cv::BORDER_REPLICATE);
    const std::vector<orvo::Region> regions = {
        {0, 0, 1 / 100.0, 0, 1 / 400.0}, {159, 60, 1 / 400.0, 1 / 1000.0, 1 / 300.0}, {80, 125, 1 / 50.0, 0, 1 / 50.0}};
    std::vector<orvo::Region> shifted = regions;
    for (orvo::Region& r : shifted) {
        r.x += pad;
        r.y += pad;
    }
    cv::Mat at_border, inside;
    orvo::describe(grey, regions).convertTo(at_border, CV_32F);
    orvo::describe(padded, shifted).convertTo(inside, CV_32F);
    for (int i = 0; i < at_border.rows; ++i) EXPECT_LE(cv::norm(at_border.row(i), inside.row(i), cv::NORM_L1), 16) << i;
}

TEST(Descriptors, AViewIsDescribedLikeItsCopy)
{
    // A view into a larger image (its rows further apart than its width),
    // with noise around it, and regions from inside to beyond its last row
    // and column, sampled from the image itself and from coarser levels:
    // the same values as from the view copied on its own, which has no
    // pixels past its end.
    cv::Mat grey;
    cv::cvtColor(generated_image(300, 220, 7), grey, cv::COLOR_BGR2GRAY);
    cv::Mat surround(grey.rows + 50, grey.cols + 70, CV_8UC1);
    cv::randu(surround, 0, 256);
    const cv::Mat view = surround(cv::Rect(40, 30, grey.cols, grey.rows));
    grey.copyTo(view);
    std::vector<orvo::Region> regions;
    for (int i = 0; i < 90; ++i) {
        const double minor = std::array<double, 3>{8, 30, 60}[i % 3], major = minor * (1 + (i % 4) * 0.4);
        const double phi = i * 0.7;
        const double x = grey.cols - 60 + (i * 37) % 80 * 0.93, y = grey.rows - 60 + (i * 53) % 80 * 0.91;
        const cv::Matx22d R(std::cos(phi), -std::sin(phi), std::sin(phi), std::cos(phi));
        const cv::Matx22d M = R * cv::Matx22d(1 / (major * major), 0, 0, 1 / (minor * minor)) * R.t();
        regions.push_back({x, y, M(0, 0), M(0, 1), M(1, 1)});
    }
    std::vector<float> from_view, from_copy;
    const cv::Mat described_view = orvo::describe(view, regions, &from_view);
    EXPECT_EQ(cv::norm(described_view, orvo::describe(view.clone(), regions, &from_copy), cv::NORM_INF), 0);
    EXPECT_EQ(from_view, from_copy);
}

TEST(Descriptors, ARegionIsDescribedAsWhenAlone)
{
    // The patches' buffers serve one region after another, at any level,
    // inside and across the border: nothing of one region's patch may reach
    // the next one's values.
    cv::Mat grey;
    cv::cvtColor(generated_image(240, 180, 8), grey, cv::COLOR_BGR2GRAY);
    std::vector<orvo::Region> regions;
    for (int i = 0; i < 24; ++i) {
        const double minor = 3 + (i % 6) * (i % 6) * 4, major = minor * (1 + (i % 4) * 0.8);
        const double x = -10.0 + (i * 71) % 260, y = -10.0 + (i * 43) % 200;
        regions.push_back({x, y, 1 / (major * major), 0, 1 / (minor * minor)});
    }
    std::vector<float> together;
    const cv::Mat described = orvo::describe(grey, regions, &together);
    for (std::size_t i = 0; i < regions.size(); ++i) {
        std::vector<float> alone;
        const cv::Mat single = orvo::describe(grey, {regions[i]}, &alone);
        EXPECT_EQ(cv::norm(described.row(static_cast<int>(i)), single, cv::NORM_INF), 0) << i;
        EXPECT_EQ(alone[0], together[i]) << i;
    }
}

TEST(Descriptors, PyramidLevelsHalveLikeOpenCV)
{
    // Odd sizes, level 0 shared with the image, bands on several threads.
    cv::Mat grey;
    cv::cvtColor(generated_image(301, 147, 5), grey, cv::COLOR_BGR2GRAY);
    for (int threads : {1, 3}) {
        const orvo::detail::image_pyramid pyramid(grey, 10, threads);
        ASSERT_EQ(pyramid.highest(), 3);  // 301 x 147, 151 x 74, 76 x 37, 38 x 19
        EXPECT_EQ(pyramid.level(0).data, grey.data);
        cv::Mat expected;
        grey.convertTo(expected, CV_32F);
        for (int k = 1; k <= pyramid.highest(); ++k) {
            cv::pyrDown(expected, expected);
            ASSERT_EQ(pyramid.level(k).size(), expected.size()) << k;
            EXPECT_LT(cv::norm(pyramid.level(k), expected, cv::NORM_INF), 1e-3) << k << " " << threads;
        }
    }
}

TEST(Descriptors, SiftFromTheDetectorDescribesEveryRegion)
{
    temp_dir dir;
    cv::imwrite(dir / "shapes.png", shapes_image());
    const std::string bin = std::string(DESCRIPTORS_EXECUTABLE).substr(0, std::string(DESCRIPTORS_EXECUTABLE).rfind('/'));
    const run_result r = run_orvo({"-i", "shapes.png", "-sift"}, {dir.path, {"PATH=" + bin + ":/usr/bin:/bin"}});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream orvo(read_file(dir / "shapes.png.orvo")), sift(read_file(dir / "shapes.png.orvo.sift"));
    double header;
    int orvo_count = -1, sift_count = -2;
    orvo >> header >> orvo_count;
    sift >> header >> sift_count;
    EXPECT_EQ(header, 128);
    EXPECT_GT(orvo_count, 0);
    EXPECT_EQ(sift_count, orvo_count);
}

TEST(Descriptors, TinyMatricesAreReadButOnlySampleableRegionsDescribed)
{
    temp_dir dir;
    write_file(dir / "regions", "0\n4\n1 2 1e-300 1e-296 1e-290\n1 2 1e-10 0 1e200\n1 2 0.01 0 0.02\n1 2 1e-14 0 1e-14\n");
    const std::vector<orvo::Region> regions = orvo::read_region_file(dir / "regions", 0.0);
    ASSERT_EQ(regions.size(), 4u);
    const cv::Mat image = generated_image(64, 48, 2);
    for (std::size_t i = 0; i < regions.size(); ++i) {
        EXPECT_TRUE(orvo::is_valid(regions[i])) << i;
        const bool sampleable = i >= 2;  // semi-axes 10, 7.1 and 1e7 pixels
        EXPECT_EQ(orvo::can_describe(regions[i]), sampleable) << i;
        if (sampleable) {
            EXPECT_EQ(orvo::describe(image, {regions[i]}).rows, 1);
        } else {
            EXPECT_THROW(orvo::describe(image, {regions[i]}), std::invalid_argument) << i;
        }
    }
}

TEST(Descriptors, ValuesStayBitForBit)
{
    // Rewrites of the sampling, the smoothing or the histograms that keep
    // every floating-point operation keep these values: descriptors and
    // orientations of regions of many sizes and shapes (patches from the
    // image itself and from coarser levels), inside, across and beyond the
    // border, on one thread and on three. A change that alters them on
    // purpose updates the fingerprint.
    cv::Mat grey;
    cv::cvtColor(generated_image(400, 300, 6), grey, cv::COLOR_BGR2GRAY);
    std::vector<orvo::Region> regions;
    for (int i = 0; i < 240; ++i) {
        const double x = -20 + (i * 37) % 441, y = -15 + (i * 53) % 331;
        const double major = 2 + (i % 12) * (i % 12) * 1.7, minor = major / (1 + (i % 5));
        const double phi = i * 0.61;
        const cv::Matx22d R(std::cos(phi), -std::sin(phi), std::sin(phi), std::cos(phi));
        const cv::Matx22d M = R * cv::Matx22d(1 / (major * major), 0, 0, 1 / (minor * minor)) * R.t();
        regions.push_back({x, y, M(0, 0), M(0, 1), M(1, 1)});
    }
    auto fingerprint = [&](int threads) {
        std::vector<float> orientations;
        orvo::DescriptorOptions options;
        options.threads = threads;
        const cv::Mat descriptors = orvo::describe(grey, regions, &orientations, options);
        std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the bytes
        auto add = [&](const unsigned char* bytes, std::size_t n) {
            for (std::size_t k = 0; k < n; ++k) hash = (hash ^ bytes[k]) * 1099511628211ull;
        };
        add(descriptors.ptr(), descriptors.total());
        add(reinterpret_cast<const unsigned char*>(orientations.data()), orientations.size() * sizeof(float));
        return hash;
    };
    EXPECT_EQ(fingerprint(1), 12196055630366657088u);
    EXPECT_EQ(fingerprint(3), fingerprint(1));
}
