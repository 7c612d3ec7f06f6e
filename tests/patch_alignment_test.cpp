// Patch alignment recovering known affine maps between an image and its
// warped copy, from perturbed starts, at several region sizes.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "matching/patch_alignment.h"

using namespace orvo::detail;

namespace {

struct WarpedPair {
    cv::Mat image1, image2;
    cv::Matx22d A;  // image 2 = gain * image 1 (A^-1 (x - t)) + bias
    cv::Vec2d t;
    cv::Vec2d map(const cv::Vec2d& p) const { return A * p + t; }
};

WarpedPair warped_pair(double gain, double bias)
{
    WarpedPair pair;
    // Smoothed noise: texture at every scale the regions see.
    cv::Mat noise(360, 480, CV_32F), smooth;
    cv::RNG random(7);
    random.fill(noise, cv::RNG::UNIFORM, 0, 255);
    cv::GaussianBlur(noise, smooth, cv::Size(), 2.0);
    cv::normalize(smooth, pair.image1, 0, 255, cv::NORM_MINMAX, CV_8U);
    const double angle = 0.3, sx = 1.15, sy = 0.9, shear = 0.1;
    pair.A = cv::Matx22d(std::cos(angle), -std::sin(angle), std::sin(angle), std::cos(angle)) *
             cv::Matx22d(sx, shear, 0, sy);
    pair.t = cv::Vec2d(240, 180) - pair.A * cv::Vec2d(240, 180) + cv::Vec2d(3.3, -2.7);
    const cv::Matx23d forward(pair.A(0, 0), pair.A(0, 1), pair.t[0], pair.A(1, 0), pair.A(1, 1), pair.t[1]);
    cv::Mat warped;
    cv::warpAffine(pair.image1, warped, cv::Mat(forward), pair.image1.size(), cv::INTER_CUBIC, cv::BORDER_REFLECT);
    warped.convertTo(pair.image2, CV_8U, gain, bias);
    return pair;
}

cv::Matx22d frame(double major, double minor, double angle)
{
    return cv::Matx22d(std::cos(angle), -std::sin(angle), std::sin(angle), std::cos(angle)) *
           cv::Matx22d(major, 0, 0, minor);
}

}  // namespace

TEST(patch_alignment, RecoversKnownAffineMapFromPerturbedStarts)
{
    const WarpedPair pair = warped_pair(0.8, 20);
    const alignment_pyramid pyramid1 = build_alignment_pyramid(pair.image1), pyramid2 = build_alignment_pyramid(pair.image2);
    const struct {
        cv::Vec2d centre;
        cv::Matx22d frame;
    } regions[] = {{{200, 150}, frame(5, 3, 0.4)}, {{260, 200}, frame(12, 8, -1.0)}, {{240, 170}, frame(40, 25, 2.0)}};
    for (const auto& region : regions) {
        SCOPED_TRACE(region.frame(0, 0));
        const cv::Vec2d start = pair.map(region.centre) + cv::Vec2d(1.2, -0.8);
        const cv::Matx22d start_affine = pair.A * cv::Matx22d(1.06, 0.04, -0.03, 0.95);
        const patch_alignment aligned =
            align_patch(pyramid1, pyramid2, region.centre, region.frame, start, start_affine);
        ASSERT_TRUE(aligned.converged);
        // Within a tenth of a pixel; the patches of image 1 and 2 may come
        // from pyramid levels smoothed differently, which the gain (1.25
        // here) partly absorbs.
        EXPECT_LT(cv::norm(aligned.point2 - pair.map(region.centre)), 0.1);
        EXPECT_LT(cv::norm(aligned.affine - pair.A, cv::NORM_INF), 0.01);
        EXPECT_GT(aligned.gain, 1.1);
        EXPECT_GT(aligned.correlation, 0.98);
    }
}

TEST(patch_alignment, ReportsFailureAndKeepsTheStart)
{
    const WarpedPair pair = warped_pair(1, 0);
    const alignment_pyramid pyramid1 = build_alignment_pyramid(pair.image1), pyramid2 = build_alignment_pyramid(pair.image2);
    const cv::Vec2d centre(200, 150), start = pair.map(centre);

    // A flat image has nothing to align on.
    const alignment_pyramid flat = build_alignment_pyramid(cv::Mat(360, 480, CV_8U, cv::Scalar(90)));
    const patch_alignment on_flat = align_patch(pyramid1, flat, centre, frame(6, 4, 0), start, pair.A);
    EXPECT_FALSE(on_flat.converged);
    EXPECT_EQ(on_flat.point2, start);

    // A patch wholly outside the second image.
    const patch_alignment outside =
        align_patch(pyramid1, pyramid2, centre, frame(6, 4, 0), cv::Vec2d(-100, -100), pair.A);
    EXPECT_FALSE(outside.converged);
    EXPECT_EQ(outside.point2, cv::Vec2d(-100, -100));

    // A start too far to come back within the allowed shift.
    patch_alignment_settings tight;
    tight.max_shift = 0.05;  // a tenth of the patch's radius, about half a pixel
    const patch_alignment far =
        align_patch(pyramid1, pyramid2, centre, frame(6, 4, 0), start + cv::Vec2d(2, 0), pair.A, tight);
    EXPECT_FALSE(far.converged);
}
