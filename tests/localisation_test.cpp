// Localisation of the dense regions on generated shapes: whichever pixels of
// each traced edge are sampled (the sampling phase), the region of a disk, of
// an ellipse and of polygons under affine maps keeps the shape's centre and
// moments.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "ellipse/extract.h"
#include "ellipse/fit.h"
#include "ellipse/near_duplicates.h"
#include "library/sampling_phase.h"
#include "orvo/detector.h"
#include "tests/generated_image.h"

namespace {

using orvo::Region;

// What a shape's region must recover at every sampling phase: its centre
// within `centre` pixels of the shape's centroid, an overlap error with the
// shape's ellipse below `overlap`; and the centres of all phases within
// PHASE_SPREAD of the first.
struct tolerance {
    double centre = 0.5, overlap = 0.05;
};

constexpr double PHASE_SPREAD = 0.5;

struct known_shape {
    std::string name;
    std::function<bool(double, double)> inside;
    Region expected;  // the ellipse of the shape's centroid and covariance
    tolerance within;
};

// The ellipse of semi-axes (major, minor), the major one at `degrees` from
// the x axis (towards y).
Region rotated_ellipse(cv::Point2d centre, double major, double minor, double degrees)
{
    const double t = degrees * CV_PI / 180, c = std::cos(t), s = std::sin(t);
    const double p = 1 / (major * major), q = 1 / (minor * minor);
    return {centre.x, centre.y, p * c * c + q * s * s, (p - q) * c * s, p * s * s + q * c * c};
}

Region ellipse_of_polygon(const std::vector<cv::Point2d>& corners)
{
    return *orvo::detail::fit_ellipse_by_moments(corners, orvo::detail::COVARIANCE_SCALE).ellipse;
}

// Whether (x, y) lies inside the convex polygon, whatever its orientation.
bool inside_convex(const std::vector<cv::Point2d>& corners, double x, double y)
{
    int positive = 0, negative = 0;
    for (std::size_t i = 0; i < corners.size(); ++i) {
        const cv::Point2d a = corners[i], b = corners[(i + 1) % corners.size()];
        const double side = (b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x);
        positive += side > 0;
        negative += side < 0;
    }
    return positive == 0 || negative == 0;
}

// A regular polygon of `count` corners and radius 1, mapped by the affine
// map p -> A p + centre.
known_shape affine_polygon(const std::string& name, int count, cv::Matx22d A, cv::Point2d centre,
                           tolerance within = {})
{
    std::vector<cv::Point2d> corners;
    for (int k = 0; k < count; ++k) {
        const double t = 2 * CV_PI * k / count + 0.3;
        const cv::Vec2d p = A * cv::Vec2d(std::cos(t), std::sin(t));
        corners.emplace_back(centre.x + p[0], centre.y + p[1]);
    }
    return {name, [corners](double x, double y) { return inside_convex(corners, x, y); },
            ellipse_of_polygon(corners), within};
}

std::vector<known_shape> known_shapes()
{
    const cv::Point2d centre(130.3, 129.6);
    const Region ellipse = rotated_ellipse(centre, 42, 21, 30);
    return {
        {"disk", [=](double x, double y) { return std::hypot(x - centre.x, y - centre.y) < 31; },
         rotated_ellipse(centre, 31, 31, 0), {}},
        {"ellipse",
         [=](double x, double y) {
             const double dx = x - centre.x, dy = y - centre.y;
             return ellipse.a * dx * dx + 2 * ellipse.b * dx * dy + ellipse.c * dy * dy < 1;
         },
         ellipse, {}},
        affine_polygon("pentagon, sheared", 5, {40, 15, -5, 30}, centre),
        affine_polygon("square, rotated and stretched", 4, {45, -12, 20, 25}, centre),
        // Corners sharper than about 50 degrees are rounded off by the edge
        // detection and cut by the hull (their tips lie more than the
        // widening's 2 pixels beyond the chord between the sampled points):
        // the centre moves towards the wide side.
        affine_polygon("triangle, flattened", 3, {50, 10, 0, 22}, centre, {2.5, 0.2}),
    };
}

// Of `regions`, the one of least overlap error with `expected`.
Region closest_region(const std::vector<Region>& regions, const Region& expected)
{
    Region best{};
    double least = 2;
    for (const Region& r : regions) {
        const double error = orvo::detail::overlap_error(r, expected);
        if (error < least) least = error, best = r;
    }
    return best;
}

TEST(Localisation, GeneratedShapesWhateverTheSamplingPhase)
{
    const orvo::DetectorOptions dense = orvo::DetectorOptions::dense();
    for (const known_shape& shape : known_shapes()) {
        // The shape within a frame: alone, it would be the whole triangulation,
        // the root of the component tree, never selected.
        cv::Mat image = antialiased_shape(cv::Size(260, 260), shape.inside);
        image.rowRange(0, 25).setTo(120);
        image.rowRange(235, 260).setTo(120);
        image.colRange(0, 25).setTo(120);
        image.colRange(235, 260).setTo(120);
        std::vector<Region> found;
        for (int phase = 0; phase < 11; ++phase) {
            const Region r =
                closest_region(orvo::detail::detect_at_sampling_phase(image, dense, phase), shape.expected);
            EXPECT_LT(std::hypot(r.x - shape.expected.x, r.y - shape.expected.y), shape.within.centre)
                << shape.name << ", phase " << phase;
            EXPECT_LT(orvo::detail::overlap_error(r, shape.expected), shape.within.overlap)
                << shape.name << ", phase " << phase;
            found.push_back(r);
        }
        for (const Region& r : found)
            EXPECT_LT(std::hypot(r.x - found[0].x, r.y - found[0].y), PHASE_SPREAD) << shape.name;
    }
}

TEST(Localisation, PhaseZeroIsTheDetectionAndANegativePhaseIsRefused)
{
    const cv::Mat image = generated_image(160, 120, 3);
    const orvo::DetectorOptions dense = orvo::DetectorOptions::dense();
    const std::vector<Region> detected = orvo::detect(image, dense);
    const std::vector<Region> at_zero = orvo::detail::detect_at_sampling_phase(image, dense, 0);
    ASSERT_EQ(detected.size(), at_zero.size());
    for (std::size_t k = 0; k < detected.size(); ++k) EXPECT_EQ(detected[k].x, at_zero[k].x);
    // Another phase samples other pixels: other regions.
    const std::vector<Region> at_five = orvo::detail::detect_at_sampling_phase(image, dense, 5);
    EXPECT_FALSE(at_five.size() == detected.size() && at_five[0].x == detected[0].x);
    EXPECT_THROW(orvo::detail::detect_at_sampling_phase(image, dense, -1), std::invalid_argument);
}

}  // namespace
