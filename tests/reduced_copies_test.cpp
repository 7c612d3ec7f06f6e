// Detection over an image pyramid: regions of reduced copies in the image's
// coordinates, and regions kept under a zoom.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <optional>

#include "ellipse/near_duplicates.h"
#include "scales/reduced_copies.h"
#include "orvo/orvo.h"
#include "tests/generated_image.h"

TEST(PyramidDetection, LevelRegionsInImageCoordinates)
{
    // A circle of radius 5 about pixel (10, 20) of a copy half as large is a
    // circle of radius 10 about the point between pixels 20, 21 and 40, 41.
    const orvo::Region circle = orvo::detail::region_on_image({10, 20, 0.04, 0, 0.04}, 2, 2);
    EXPECT_DOUBLE_EQ(circle.x, 20.5);
    EXPECT_DOUBLE_EQ(circle.y, 40.5);
    EXPECT_DOUBLE_EQ(circle.a, 0.01);
    EXPECT_DOUBLE_EQ(circle.c, 0.01);
    // Unequal factors stretch the ellipse along each axis.
    const orvo::Region stretched = orvo::detail::region_on_image({0, 0, 1, 0.5, 1}, 2, 4);
    EXPECT_DOUBLE_EQ(stretched.a, 0.25);
    EXPECT_DOUBLE_EQ(stretched.b, 0.0625);
    EXPECT_DOUBLE_EQ(stretched.c, 1.0 / 16);

    orvo::DetectorOptions bad;
    bad.pyramid_levels = 0;
    EXPECT_THROW(bad.validate(), std::invalid_argument);
    bad = {};
    bad.pyramid_step = 1;
    EXPECT_THROW(bad.validate(), std::invalid_argument);
}

TEST(PyramidDetection, RegionsSurviveAZoom)
{
    // The regions of an image, grown by 2, against those of the image
    // enlarged twice: the edge sampling and the smallest area are fixed in
    // pixels, so without a pyramid many are lost; the pyramid's second level
    // sees the image at its own size again.
    const cv::Mat image = generated_image(640, 480, 4);
    cv::Mat enlarged;
    cv::resize(image, enlarged, image.size() * 2, 0, 0, cv::INTER_CUBIC);
    orvo::DetectorOptions options = orvo::DetectorOptions::dense();
    options.pyramid_levels = 1;
    std::vector<orvo::Region> original;
    for (const orvo::Region& r : orvo::detect(image, options)) original.push_back(orvo::detail::region_on_image(r, 2, 2));
    const auto found_share = [&](const std::vector<orvo::Region>& regions) {
        std::size_t found = 0;
        for (const orvo::Region& r : original)
            for (const orvo::Region& q : regions)
                if (orvo::detail::overlap_error(r, q) < 0.4) {
                    ++found;
                    break;
                }
        return static_cast<double>(found) / original.size();
    };
    ASSERT_GT(original.size(), 100u);
    const double single = found_share(orvo::detect(enlarged, options));
    options.pyramid_levels = 2;
    const std::vector<orvo::Region> pyramid = orvo::detect(enlarged, options);
    EXPECT_GT(found_share(pyramid), 0.9);
    EXPECT_GT(found_share(pyramid), single + 0.05);
    for (const orvo::Region& r : pyramid) EXPECT_TRUE(r.x >= 0 && r.y >= 0 && r.x < 1280 && r.y < 960);
}

TEST(PyramidDetection, LevelsAndPassesUnitedInOrderOnAnyThreads)
{
    // The dense preset's six passes (two steps on three levels) run on the
    // threads in any order; the regions are those of each level detected on
    // its own, levels and steps in order, less the near-duplicates: those
    // whose hulls, before they are widened to the edge pixels, give ellipses
    // that repeat one kept before.
    cv::Mat image;
    cv::cvtColor(generated_image(640, 480, 7), image, cv::COLOR_RGB2GRAY);
    orvo::DetectorOptions dense = orvo::DetectorOptions::dense(), widened = dense;
    widened.pyramid_levels = 1;
    widened.duplicate_overlap = 0;
    orvo::DetectorOptions hulls = widened;
    hulls.edge_pixel_hull = false;
    hulls.exact_hull = true;
    // Each hull's widened region, if it gives one (the strength is the
    // component's, and the widened region lies about the hull's).
    std::vector<std::optional<orvo::Region>> all_widened;
    std::vector<orvo::Region> all_hulls;
    for (const int factor : {1, 2, 4}) {
        cv::Mat level = image;
        if (factor > 1) cv::resize(image, level, image.size() / factor, 0, 0, cv::INTER_AREA);
        const std::vector<orvo::Region> w = orvo::detect(level, widened), h = orvo::detect(level, hulls);
        std::size_t next = 0;
        for (const orvo::Region& r : h) {
            all_hulls.push_back(factor == 1 ? r : orvo::detail::region_on_image(r, factor, factor));
            all_widened.emplace_back();
            if (next == w.size() || w[next].strength != r.strength) continue;
            EXPECT_LT(std::hypot(w[next].x - r.x, w[next].y - r.y), 5);
            all_widened.back() = factor == 1 ? w[next] : orvo::detail::region_on_image(w[next], factor, factor);
            ++next;
        }
        ASSERT_EQ(next, w.size());
    }
    const std::vector<std::size_t> kept = orvo::detail::near_duplicates_kept(all_hulls, dense.duplicate_overlap);
    std::vector<orvo::Region> expected;
    for (const std::size_t k : kept)
        if (all_widened[k]) expected.push_back(*all_widened[k]);
    ASSERT_GT(expected.size(), 150u);
    ASSERT_LT(expected.size(), all_widened.size());
    const auto same = [](const std::vector<orvo::Region>& p, const std::vector<orvo::Region>& q) {
        return p.size() == q.size() && std::equal(p.begin(), p.end(), q.begin(), [](const auto& a, const auto& b) {
                   return a.x == b.x && a.y == b.y && a.a == b.a && a.b == b.b && a.c == b.c;
               });
    };
    for (const int threads : {1, 2, 5}) {
        dense.threads = threads;
        orvo::DetectionStats stats;
        EXPECT_TRUE(same(orvo::detect(image, dense, &stats), expected)) << threads << " threads";
        EXPECT_EQ(stats.near_duplicates, all_hulls.size() - kept.size());
        EXPECT_EQ(stats.regions, expected.size());
    }
}
