// Minimal solvers and the robust estimator against synthetic affine
// correspondences under known homographies and epipolar geometries.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "matching/affine_correspondence.h"
#include "matching/epipolar_estimator.h"
#include "matching/homography_estimator.h"
#include "matching/nearest_neighbours.h"
#include "matching/ransac.h"

using namespace orvo::detail;

namespace {

cv::Vec2d project(const cv::Matx33d& h, const cv::Vec2d& p)
{
    const cv::Vec3d q = h * cv::Vec3d(p[0], p[1], 1);
    return {q[0] / q[2], q[1] / q[2]};
}

cv::Matx22d jacobian(const cv::Matx33d& h, const cv::Vec2d& p)
{
    const cv::Vec3d q = h * cv::Vec3d(p[0], p[1], 1);
    const double u = q[0] / q[2], v = q[1] / q[2];
    return cv::Matx22d(h(0, 0) - u * h(2, 0), h(0, 1) - u * h(2, 1), h(1, 0) - v * h(2, 0), h(1, 1) - v * h(2, 1)) *
           (1 / q[2]);
}

// A random frame of a region a few pixels to a few tens of pixels across.
cv::Matx22d random_frame(std::mt19937& random)
{
    std::uniform_real_distribution<double> size(3, 30), angle(-CV_PI, CV_PI), stretch(0.5, 2);
    const double s = size(random), t = angle(random), e = stretch(random);
    return cv::Matx22d(std::cos(t), -std::sin(t), std::sin(t), std::cos(t)) * cv::Matx22d(s * e, 0, 0, s / e);
}

affine_correspondence correspondence_under(const cv::Matx33d& h, const cv::Vec2d& p, std::mt19937& random)
{
    const cv::Matx22d frame1 = random_frame(random);
    return correspondence_from_frames(p, frame1, project(h, p), jacobian(h, p) * frame1);
}

// A perspective homography of a 640 x 480 view.
cv::Matx33d random_homography(std::mt19937& random)
{
    std::uniform_real_distribution<double> small(-0.3, 0.3), shift(-50, 50), tilt(-4e-4, 4e-4);
    return cv::Matx33d(1 + small(random), small(random), 320 + shift(random), small(random), 1 + small(random),
                       240 + shift(random), tilt(random), tilt(random), 1) *
           cv::Matx33d(1, 0, -320, 0, 1, -240, 0, 0, 1);
}

cv::Vec2d random_point(std::mt19937& random)
{
    std::uniform_real_distribution<double> x(0, 640), y(0, 480);
    return {x(random), y(random)};
}

// Mean distance between where two homographies take the corners of a
// 640 x 480 image.
double corner_error(const cv::Matx33d& a, const cv::Matx33d& b)
{
    double sum = 0;
    for (const cv::Vec2d& corner : {cv::Vec2d(0, 0), cv::Vec2d(640, 0), cv::Vec2d(640, 480), cv::Vec2d(0, 480)})
        sum += cv::norm(project(a, corner) - project(b, corner));
    return sum / 4;
}

// A calibrated pair of views of points on small planes of random
// orientation, 4 to 10 units in front of the first camera.
struct TwoViews {
    cv::Matx33d K = cv::Matx33d(800, 0, 320, 0, 800, 240, 0, 0, 1);
    cv::Matx33d R, E, F;
    cv::Vec3d t;

    explicit TwoViews(std::mt19937& random)
    {
        std::uniform_real_distribution<double> angle(-0.2, 0.2), unit(-1, 1);
        const double a = angle(random), b = angle(random), c = angle(random);
        R = cv::Matx33d(std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1) *
            cv::Matx33d(std::cos(b), 0, std::sin(b), 0, 1, 0, -std::sin(b), 0, std::cos(b)) *
            cv::Matx33d(1, 0, 0, 0, std::cos(c), -std::sin(c), 0, std::sin(c), std::cos(c));
        t = cv::normalize(cv::Vec3d(1 + 0.3 * unit(random), 0.2 * unit(random), 0.2 * unit(random)));
        const cv::Matx33d skew(0, -t[2], t[1], t[2], 0, -t[0], -t[1], t[0], 0);
        E = skew * R;
        F = K.inv().t() * E * K.inv();
    }

    // The correspondence of a scene point seen at pixel p of view 1.
    affine_correspondence correspondence(const cv::Vec2d& p, std::mt19937& random) const
    {
        std::uniform_real_distribution<double> depth(4, 10), unit(-0.5, 0.5);
        const cv::Vec3d ray = K.inv() * cv::Vec3d(p[0], p[1], 1);
        const cv::Vec3d x = ray * depth(random);
        const cv::Vec3d normal = cv::normalize(cv::Vec3d(unit(random), unit(random), -1));
        // The plane n'X = d through x induces H = K (R + t n' / d) K^-1.
        const cv::Matx33d plane = K * (R + t * normal.t() * (1 / normal.dot(x))) * K.inv();
        const cv::Matx22d frame1 = random_frame(random);
        return correspondence_from_frames(p, frame1, project(plane, p), jacobian(plane, p) * frame1);
    }
};

double max_relative_difference(const cv::Matx33d& estimated, const cv::Matx33d& truth)
{
    const cv::Matx33d a = estimated * (1 / cv::norm(estimated)), b = truth * (1 / cv::norm(truth));
    return std::min(cv::norm(a - b, cv::NORM_INF), cv::norm(a + b, cv::NORM_INF));
}

affine_correspondence with_noise(affine_correspondence c, double pixels, double affine, std::mt19937& random)
{
    std::normal_distribution<double> noise(0, 1);
    c.point1 += cv::Vec2d(noise(random), noise(random)) * pixels;
    c.point2 += cv::Vec2d(noise(random), noise(random)) * pixels;
    c.affine = c.affine * cv::Matx22d(1 + affine * noise(random), affine * noise(random), affine * noise(random),
                                      1 + affine * noise(random));
    return c;
}

std::vector<int> all_of(std::size_t n)
{
    std::vector<int> subset(n);
    for (std::size_t i = 0; i < n; ++i) subset[i] = static_cast<int>(i);
    return subset;
}

}  // namespace

TEST(MatchSolvers, OrientedFramesOfMappedRegionsGiveTheMap)
{
    std::mt19937 random(3);
    for (int trial = 0; trial < 20; ++trial) {
        const cv::Matx22d shape = random_frame(random);
        const cv::Matx22d inverse_m1 = shape * shape.t();
        const cv::Matx22d m1 = inverse_m1.inv();
        const cv::Matx22d map = random_frame(random) * 0.2;
        const cv::Matx22d m2 = (map * inverse_m1 * map.t()).inv();
        const double orientation1 = std::uniform_real_distribution<double>(-CV_PI, CV_PI)(random);
        const cv::Vec2d turned = map * cv::Vec2d(std::cos(orientation1), std::sin(orientation1));
        const double orientation2 = std::atan2(turned[1], turned[0]);

        const cv::Matx22d frame1 = oriented_frame(m1(0, 0), m1(0, 1), m1(1, 1), orientation1);
        EXPECT_LT(cv::norm(frame1 * frame1.t() - inverse_m1), 1e-9 * cv::norm(inverse_m1));
        EXPECT_NEAR(std::remainder(std::atan2(frame1(1, 0), frame1(0, 0)) - orientation1, 2 * CV_PI), 0, 1e-9);
        const affine_correspondence c =
            correspondence_from_frames({1, 2}, frame1, {3, 4}, oriented_frame(m2(0, 0), m2(0, 1), m2(1, 1), orientation2));
        EXPECT_LT(cv::norm(c.affine - map), 1e-9 * cv::norm(map));
    }
}

TEST(MatchSolvers, HomographyFromTwoAffineCorrespondencesOrFourPoints)
{
    std::mt19937 random(5);
    const homography_estimator estimator;
    for (int trial = 0; trial < 20; ++trial) {
        const cv::Matx33d truth = random_homography(random);
        std::vector<affine_correspondence> exact, noisy;
        for (int i = 0; i < 60; ++i) {
            exact.push_back(correspondence_under(truth, random_point(random), random));
            noisy.push_back(with_noise(exact.back(), 0.5, 0.03, random));
        }
        const auto from_two = estimator.fit(exact, {0, 1}, true);
        const auto from_four = estimator.fit(exact, {0, 1, 2, 3}, false);
        ASSERT_TRUE(from_two && from_four);
        EXPECT_LT(corner_error(*from_two, truth), 1e-6);
        EXPECT_LT(corner_error(*from_four, truth), 1e-6);
        EXPECT_LT(estimator.point_error(*from_two, exact[5]), 1e-12);
        EXPECT_LT(estimator.affine_error(*from_two, exact[5]), 1e-9);
        // Noise of half a pixel and 3 % on the maps, all correspondences.
        const auto fitted = estimator.fit(noisy, all_of(noisy.size()), true);
        ASSERT_TRUE(fitted);
        EXPECT_LT(corner_error(*fitted, truth), 2.0);
    }
    // One correspondence twice leaves the homography undetermined.
    const std::vector<affine_correspondence> twice(2, correspondence_under(cv::Matx33d::eye(), {5, 5}, random));
    EXPECT_FALSE(estimator.fit(twice, {0, 1}, true));
}

TEST(MatchSolvers, EpipolarGeometryFromThreeAffineCorrespondences)
{
    std::mt19937 random(7);
    for (int trial = 0; trial < 20; ++trial) {
        const TwoViews views(random);
        const epipolar_estimator fundamental, essential(views.K, views.K);
        std::vector<affine_correspondence> exact, noisy;
        for (int i = 0; i < 80; ++i) {
            exact.push_back(views.correspondence(random_point(random), random));
            noisy.push_back(with_noise(exact.back(), 0.3, 0.03, random));
        }
        const auto f = fundamental.fit(exact, {0, 1, 2}, true);
        const auto e = essential.fit(exact, {0, 1, 2}, true);
        ASSERT_TRUE(f && e);
        EXPECT_LT(max_relative_difference(*f, views.F), 1e-6);
        EXPECT_LT(max_relative_difference(essential.essential(*e), views.E), 1e-6);
        EXPECT_LT(fundamental.affine_error(*f, exact[10]), 1e-6);
        EXPECT_LT(fundamental.point_error(*f, exact[10]), 1e-10);
        EXPECT_NEAR(cv::determinant(*f), 0, 1e-12);

        // With noise, every correspondence: the true ones stay within a
        // pixel of the fitted geometry.
        const auto fitted = fundamental.fit(noisy, all_of(noisy.size()), true);
        ASSERT_TRUE(fitted);
        double sum = 0;
        for (const affine_correspondence& c : exact) sum += std::sqrt(fundamental.point_error(*fitted, c));
        EXPECT_LT(sum / exact.size(), 1.0);
    }
}

TEST(MatchSolvers, RansacFindsTheModelAmongFewInliers)
{
    std::mt19937 random(11);
    const auto run = [&](const model_estimator& estimator, std::vector<affine_correspondence> inliers,
                         const std::function<double(const cv::Matx33d&)>& model_error) {
        const std::size_t inlier_count = inliers.size();
        std::vector<affine_correspondence> all = inliers;
        // 15 % inliers: the others join random points with random maps.
        while (all.size() < inlier_count * 100 / 15) {
            const cv::Matx22d frame1 = random_frame(random), frame2 = random_frame(random);
            all.push_back(correspondence_from_frames(random_point(random), frame1, random_point(random), frame2));
        }
        std::shuffle(all.begin(), all.end(), random);
        ransac_options settings;
        settings.threshold = 2.0;
        const ransac_result result = ransac(estimator, all, settings);
        ASSERT_TRUE(result.model);
        EXPECT_LT(model_error(*result.model), 1.5);
        EXPECT_GE(result.inlier_count, static_cast<int>(inlier_count * 9 / 10));
        EXPECT_LE(result.inlier_count, static_cast<int>(inlier_count * 11 / 10));
        // The sampling stops about when pairs (triples) of inliers are
        // likely to have been drawn: some 300 (2,000) samples, where four
        // (eight) points would need 13,600 (27 million).
        EXPECT_LE(result.hypotheses,
                  2 * required_samples(0.15, estimator.affine_sample_size(), settings.confidence, 1 << 30));
    };

    const cv::Matx33d h = random_homography(random);
    std::vector<affine_correspondence> on_plane;
    for (int i = 0; i < 60; ++i)
        on_plane.push_back(with_noise(correspondence_under(h, random_point(random), random), 0.4, 0.05, random));
    run(homography_estimator(), on_plane, [&](const cv::Matx33d& m) { return corner_error(m, h); });

    const TwoViews views(random);
    std::vector<affine_correspondence> in_scene;
    for (int i = 0; i < 60; ++i)
        in_scene.push_back(with_noise(views.correspondence(random_point(random), random), 0.3, 0.05, random));
    const epipolar_estimator fundamental;
    run(fundamental, in_scene, [&](const cv::Matx33d& m) {
        double sum = 0;
        for (int i = 0; i < 50; ++i)
            sum += std::sqrt(fundamental.point_error(m, views.correspondence(random_point(random), random)));
        return sum / 50;
    });

    // Fewer correspondences than a sample: no model.
    EXPECT_FALSE(ransac(homography_estimator(), {on_plane[0]}, ransac_options()).model);
}

TEST(MatchSolvers, MutualNearestNeighboursWithRatioTest)
{
    // Rows 0 and 1 of the first set are nearest to row 0 of the second; only
    // row 0 is its nearest. Row 2 has two near-equal candidates (ratio test).
    const cv::Mat first = (cv::Mat_<float>(4, 2) << 0, 0, 0.5, 0, 10, 10, 20, 0);
    const cv::Mat second = (cv::Mat_<float>(4, 2) << 0.1, 0, 10, 9, 9, 10, 20, 1);
    const std::vector<tentative_match> matches = mutual_nearest_neighbours(first, second, 0.8, 1);
    ASSERT_EQ(matches.size(), 2u);
    EXPECT_EQ(matches[0].index1, 0);
    EXPECT_EQ(matches[0].index2, 0);
    EXPECT_EQ(matches[1].index1, 3);
    EXPECT_EQ(matches[1].index2, 3);
    // Each with its distance, and its ratio to the second nearest's.
    EXPECT_NEAR(matches[0].distance, 0.1, 1e-6);
    EXPECT_NEAR(matches[0].ratio, 0.1 / std::sqrt(181.0), 1e-6);
    EXPECT_NEAR(matches[1].distance, 1, 1e-6);
    EXPECT_NEAR(matches[1].ratio, 1 / std::sqrt(181.0), 1e-6);
    // Threads share the rows of a larger set; the matches do not change.
    cv::Mat many1(700, 16, CV_8U), many2(650, 16, CV_8U);
    cv::randu(many1, 0, 256);
    many2 = many1.rowRange(30, 680).clone();
    const std::vector<tentative_match> alone = mutual_nearest_neighbours(many1, many2, 0.8, 1);
    const std::vector<tentative_match> shared = mutual_nearest_neighbours(many1, many2, 0.8, 3);
    ASSERT_EQ(alone.size(), 650u);
    ASSERT_EQ(shared.size(), alone.size());
    for (std::size_t k = 0; k < alone.size(); ++k) {
        EXPECT_EQ(shared[k].index1, alone[k].index1);
        EXPECT_EQ(shared[k].index2, alone[k].index1 - 30);
    }
}
