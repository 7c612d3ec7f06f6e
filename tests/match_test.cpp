// Matching through the public API and the orvo-match executable, on a
// generated image and its view under a known homography.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "orvo/orvo.h"
#include "tests/generated_image.h"
#include "tests/test_support.h"

namespace {

const cv::Matx33d VIEW(0.9, 0.15, 40, -0.1, 0.95, 30, 1e-4, -5e-5, 1);

struct WarpedPair {
    cv::Mat image1 = generated_image(640, 480, 7), image2;
    WarpedPair() { cv::warpPerspective(image1, image2, VIEW, image1.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT); }
};

double corner_error(const cv::Matx33d& model)
{
    double sum = 0;
    for (const cv::Vec3d& corner : {cv::Vec3d(0, 0, 1), cv::Vec3d(639, 0, 1), cv::Vec3d(639, 479, 1),
                                    cv::Vec3d(0, 479, 1)}) {
        const cv::Vec3d a = VIEW * corner, b = model * corner;
        sum += std::hypot(a[0] / a[2] - b[0] / b[2], a[1] / a[2] - b[1] / b[2]);
    }
    return sum / 4;
}

run_result run_match(const std::vector<std::string>& args)
{
    return run_program(ORVO_MATCH_EXECUTABLE, args);
}

// Diagonal stripes two pixels wide: with every component kept and the
// hulls on the exact sub-pixel edge points, some regions are too thin to
// describe.
cv::Mat thin_stripes()
{
    cv::Mat image(45, 60, CV_8UC1);
    for (int r = 0; r < image.rows; ++r)
        for (int c = 0; c < image.cols; ++c) image.at<unsigned char>(r, c) = ((r + c) / 2) % 2 ? 230 : 20;
    return image;
}

const std::vector<std::string> THIN_OPTIONS = {"-t",         "0", "--min-area",       "0", "--edge-step", "2",
                                               "--subpixel-edges", "1", "--exact-hull", "1"};

}  // namespace

TEST(Match, RecoversTheHomographyOfAWarpedImage)
{
    const WarpedPair pair;
    const orvo::MatchResult result = orvo::match(pair.image1, pair.image2);
    ASSERT_TRUE(result.model);
    EXPECT_LT(corner_error(*result.model), 3.0);
    EXPECT_GE(result.counts.inliers, 30u);
    const std::size_t tentative = result.counts.tentative;
    ASSERT_EQ(result.index1.size(), tentative);
    ASSERT_EQ(result.regions2.size(), tentative);
    ASSERT_EQ(result.inliers.size(), tentative);
    EXPECT_EQ(static_cast<std::size_t>(std::count(result.inliers.begin(), result.inliers.end(), true)),
              result.counts.inliers);
    // Each inlier's regions are where the view takes them.
    for (std::size_t k = 0; k < tentative; ++k) {
        if (!result.inliers[k]) continue;
        const cv::Vec3d p = VIEW * cv::Vec3d(result.regions1[k].x, result.regions1[k].y, 1);
        EXPECT_LT(std::hypot(p[0] / p[2] - result.regions2[k].x, p[1] / p[2] - result.regions2[k].y), 8.0);
    }

    // The same features given again, with their orientations, and an
    // epipolar model: every inlier then lies near its epipolar line.
    orvo::MatchOptions options;
    options.model = orvo::GeometricModel::fundamental;
    const orvo::MatchResult fundamental = orvo::match(pair.image1, pair.image2, options);
    ASSERT_TRUE(fundamental.model);
    EXPECT_NEAR(cv::determinant(*fundamental.model), 0, 1e-9);
    EXPECT_GE(fundamental.counts.inliers, result.counts.inliers * 8 / 10);

    const cv::Mat drawing = orvo::draw_matches(pair.image1, pair.image2, result, true);
    EXPECT_EQ(drawing.size(), cv::Size(1280, 480));
    EXPECT_EQ(drawing.type(), CV_8UC3);
}

TEST(Match, TheSameMatchesForAnyNumberOfThreads)
{
    // Detection, description, the descriptor matching and the refinement
    // all share their work among the threads; the result does not change.
    const WarpedPair pair;
    orvo::MatchOptions one, three;
    one.detector.threads = 1;
    three.detector.threads = 3;
    const orvo::MatchResult alone = orvo::match(pair.image1, pair.image2, one);
    const orvo::MatchResult shared = orvo::match(pair.image1, pair.image2, three);
    ASSERT_TRUE(alone.model && shared.model);
    EXPECT_EQ(cv::norm(*alone.model - *shared.model), 0);
    EXPECT_EQ(shared.index1, alone.index1);
    EXPECT_EQ(shared.index2, alone.index2);
    EXPECT_EQ(shared.distances, alone.distances);
    EXPECT_EQ(shared.inliers, alone.inliers);
    EXPECT_EQ(shared.refined, alone.refined);
    EXPECT_EQ(shared.points2, alone.points2);
    EXPECT_GT(std::count(alone.refined.begin(), alone.refined.end(), true), 0);
}

double distance_under_view(const cv::Point2d& p1, const cv::Point2d& p2)
{
    const cv::Vec3d p = VIEW * cv::Vec3d(p1.x, p1.y, 1);
    return std::hypot(p[0] / p[2] - p2.x, p[1] / p[2] - p2.y);
}

TEST(Match, RefinedInliersLieWhereTheViewTakesThem)
{
    const WarpedPair pair;
    const orvo::MatchResult result = orvo::match(pair.image1, pair.image2);
    ASSERT_TRUE(result.model);
    EXPECT_EQ((*result.model)(2, 2), 1.0);
    std::vector<double> refined, centres;
    for (std::size_t k = 0; k < result.inliers.size(); ++k) {
        EXPECT_EQ(result.points1[k], cv::Point2d(result.regions1[k].x, result.regions1[k].y));
        EXPECT_TRUE(result.inliers[k] || !result.refined[k]);
        if (!result.refined[k]) continue;
        refined.push_back(distance_under_view(result.points1[k], result.points2[k]));
        centres.push_back(distance_under_view(result.points1[k], {result.regions2[k].x, result.regions2[k].y}));
    }
    ASSERT_GT(refined.size(), result.counts.inliers * 8 / 10);
    const auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    EXPECT_LT(median(refined), 0.2);
    EXPECT_LT(median(refined), median(centres) / 2);

    orvo::MatchOptions plain;
    plain.refine = false;
    const orvo::MatchResult unrefined = orvo::match(pair.image1, pair.image2, plain);
    EXPECT_EQ(std::count(unrefined.refined.begin(), unrefined.refined.end(), true), 0);
    EXPECT_EQ(unrefined.points2[0], cv::Point2d(unrefined.regions2[0].x, unrefined.regions2[0].y));

    // A drawing of ten inliers changes fewer pixels than one of them all.
    orvo::MatchResult none = result;
    none.inliers.assign(none.inliers.size(), false);
    const cv::Mat blank = orvo::draw_matches(pair.image1, pair.image2, none);
    const auto changed = [&](const orvo::MatchDrawing& drawing) {
        cv::Mat difference;
        cv::absdiff(orvo::draw_matches(pair.image1, pair.image2, result, drawing), blank, difference);
        cv::cvtColor(difference, difference, cv::COLOR_BGR2GRAY);
        return cv::countNonZero(difference);
    };
    orvo::MatchDrawing ten;
    ten.inliers = 10;
    ten.colour_by_error = true;
    EXPECT_GT(changed(ten), 0);
    EXPECT_LT(changed(ten), changed({}) / 5);
    ten.error_scale = 0;
    EXPECT_THROW(orvo::draw_matches(pair.image1, pair.image2, result, ten), std::invalid_argument);
}

TEST(Match, RefusesBadOptionsAndFeaturesThatDoNotAgree)
{
    const auto refused = [](auto change) {
        orvo::MatchOptions options;
        change(options);
        EXPECT_THROW(options.validate(), std::invalid_argument);
    };
    refused([](orvo::MatchOptions& o) { o.ratio = 0; });
    refused([](orvo::MatchOptions& o) { o.ransac_threshold = -1; });
    refused([](orvo::MatchOptions& o) { o.confidence = 1; });
    refused([](orvo::MatchOptions& o) { o.K1 = cv::Matx33d::zeros(); });
    refused([](orvo::MatchOptions& o) { o.detector.edge_step = 0; });
    EXPECT_THROW(orvo::geometric_model("affine"), std::invalid_argument);
    EXPECT_EQ(orvo::geometric_model("essential"), orvo::GeometricModel::essential);

    const std::vector<orvo::Region> regions(3, orvo::Region{10, 10, 0.01, 0, 0.01});
    const cv::Mat descriptors(3, 128, CV_8U, cv::Scalar(1));
    const std::vector<float> orientations(3, 0.0f);
    EXPECT_THROW(orvo::match_features(regions, descriptors.rowRange(0, 2), orientations, regions, descriptors,
                                      orientations),
                 std::invalid_argument);
    EXPECT_THROW(orvo::match_features(regions, descriptors, {0, 0}, regions, descriptors, orientations),
                 std::invalid_argument);
    std::vector<orvo::Region> invalid = regions;
    invalid[1].c = -1;
    EXPECT_THROW(orvo::match_features(invalid, descriptors, orientations, regions, descriptors, orientations),
                 std::invalid_argument);
    // No features: no matches and no model, but a result.
    const orvo::MatchResult none = orvo::match_features({}, cv::Mat(), {}, regions, descriptors, orientations);
    EXPECT_FALSE(none.model);
    EXPECT_EQ(none.counts.tentative, 0u);
}

TEST(Match, RegionsTooThinToDescribeTakeNoPart)
{
    orvo::DetectorOptions detector;
    detector.threshold = 0;
    detector.min_area = 0;
    detector.edge_step = 2;
    detector.subpixel_edges = detector.exact_hull = true;
    const cv::Mat image = thin_stripes();
    const std::vector<orvo::Region> regions = orvo::detect(image, detector);
    const auto describable = [&](const orvo::Region& r) {
        return orvo::can_describe(orvo::scaled(r, detector.measurement_scale));
    };
    const std::size_t kept = static_cast<std::size_t>(std::count_if(regions.begin(), regions.end(), describable));
    ASSERT_LT(kept, regions.size());  // the case is there

    orvo::MatchOptions options;
    options.detector = detector;
    const orvo::MatchResult result = orvo::match(image, image, options);
    EXPECT_EQ(result.counts.regions1, regions.size());
    EXPECT_GT(result.counts.tentative, 0u);
    for (std::size_t k = 0; k < result.counts.tentative; ++k) {
        ASSERT_LT(static_cast<std::size_t>(result.index1[k]), regions.size());
        const orvo::Region& r = regions[static_cast<std::size_t>(result.index1[k])];
        EXPECT_TRUE(r.x == result.regions1[k].x && r.y == result.regions1[k].y && r.a == result.regions1[k].a);
        EXPECT_TRUE(describable(r));
    }

    // The executables end their runs: orvo-match with a result, orvo-batch's
    // COLMAP features without the thin regions.
    temp_dir dir;
    ASSERT_TRUE(cv::imwrite(dir / "stripes.png", image));
    std::vector<std::string> args = {dir / "stripes.png", dir / "stripes.png", "--classic"};
    args.insert(args.end(), THIN_OPTIONS.begin(), THIN_OPTIONS.end());
    const run_result matched = run_match(args);
    EXPECT_EQ(matched.status, 0) << matched.err;
    args = {"-q", "--format", "colmap", dir / "stripes.png"};
    args.insert(args.end(), THIN_OPTIONS.begin(), THIN_OPTIONS.end());
    const run_result batch = run_program(ORVO_BATCH_EXECUTABLE, args);
    EXPECT_EQ(batch.status, 0) << batch.err;
    EXPECT_EQ(read_file(dir / "stripes.png.txt").substr(0, read_file(dir / "stripes.png.txt").find(' ')),
              std::to_string(kept));
}

TEST(Match, ALargerThresholdNeverLosesInliers)
{
    // 40 circles and their exact images under VIEW (centre, shape and
    // orientation), matched through descriptors of their own, and 10 matches
    // wrong in place and shape. Past the threshold whose square overflows
    // (1e200), the wrong ones once cost infinity each and no model was kept.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> x(50, 590), y(50, 430), angle(0, 6.28);
    std::vector<orvo::Region> regions1, regions2;
    std::vector<float> orientations1, orientations2;
    for (int k = 0; k < 50; ++k) {
        const orvo::Region circle{x(rng), y(rng), 1 / 16.0, 0, 1 / 16.0};
        regions1.push_back(circle);
        orientations1.push_back(0);
        const cv::Vec3d p = VIEW * cv::Vec3d(circle.x, circle.y, 1);
        // The Jacobian of VIEW at the centre maps the circle's frame 4 I.
        const cv::Matx22d J = (cv::Matx22d(VIEW(0, 0), VIEW(0, 1), VIEW(1, 0), VIEW(1, 1)) -
                               cv::Matx21d(p[0] / p[2], p[1] / p[2]) * cv::Matx12d(VIEW(2, 0), VIEW(2, 1))) *
                              (1 / p[2]);
        cv::Matx23d frame(4 * J(0, 0), 4 * J(0, 1), p[0] / p[2], 4 * J(1, 0), 4 * J(1, 1), p[1] / p[2]);
        float orientation = static_cast<float>(std::atan2(J(1, 0), J(0, 0)));
        if (k >= 40) {  // elsewhere, thinner and turned
            frame = cv::Matx23d(8, 0, x(rng), 0, 1, y(rng));
            orientation = static_cast<float>(angle(rng));
        }
        regions2.push_back(orvo::from_affine_frame(frame));
        orientations2.push_back(orientation < 0 ? orientation + static_cast<float>(2 * CV_PI) : orientation);
    }
    cv::Mat descriptors(50, 128, CV_8U);
    cv::RNG(9).fill(descriptors, cv::RNG::UNIFORM, 0, 256);
    std::size_t before = 0;
    for (const double threshold : {6.0, 1e3, 1e100, 1e160, 1e200, 1e300, 1.7e308}) {
        orvo::MatchOptions options;
        options.ransac_threshold = threshold;
        const orvo::MatchResult result = orvo::match_features(regions1, descriptors, orientations1, regions2,
                                                              descriptors, orientations2, options);
        EXPECT_EQ(result.counts.tentative, 50u);
        ASSERT_TRUE(result.model) << threshold;
        EXPECT_GE(result.counts.inliers, std::max<std::size_t>(before, 40)) << threshold;
        before = result.counts.inliers;
    }
}

TEST(Match, CommandLine)
{
    const WarpedPair pair;
    temp_dir dir;
    ASSERT_TRUE(cv::imwrite(dir / "a.png", pair.image1) && cv::imwrite(dir / "b.png", pair.image2));

    const run_result done = run_match({dir / "a.png", dir / "b.png", "-o", dir / "m.png", "--json", dir / "m.json",
                                       "--threads", "1"});
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_NE(done.out.find("inliers"), std::string::npos);
    const cv::Mat drawing = cv::imread(dir / "m.png");
    EXPECT_EQ(drawing.size(), cv::Size(1280, 480));
    cv::FileStorage json(dir / "m.json", cv::FileStorage::READ | cv::FileStorage::FORMAT_JSON);
    ASSERT_TRUE(json.isOpened());
    EXPECT_EQ(json["model_type"].string(), "homography");
    EXPECT_EQ(json["model"].size(), 3u);
    EXPECT_EQ(json["matches"].size(), static_cast<std::size_t>(static_cast<int>(json["counts"]["tentative"])));
    EXPECT_EQ(static_cast<double>(json["model"][2][2]), 1.0);
    const cv::FileNode first = json["matches"][0];
    EXPECT_EQ(first["point2"].size(), 2u);
    EXPECT_EQ(first["affine"].size(), 2u);
    EXPECT_TRUE(first["refined"].isInt());  // true or false
    EXPECT_EQ(run_match({dir / "a.png", dir / "b.png", "-o", dir / "n.png", "--draw-inliers", "5",
                         "--colour-by-error", "--refine", "0"})
                  .status,
              0);

    // Bad command lines: status 1 and the usage.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {dir / "a.png"}, {dir / "a.png", dir / "b.png", "--ratio", "2"},
          {dir / "a.png", dir / "b.png", "--model", "affine"}, {dir / "a.png", dir / "b.png", "--model", "essential"},
          {dir / "a.png", dir / "b.png", "--K1", "800,800,320"}, {dir / "a.png", dir / "b.png", "--bogus", "1"},
          {dir / "a.png", dir / "b.png", "--threshold"}, {dir / "a.png", dir / "b.png", "--draw-inliers", "0"}}) {
        const run_result bad = run_match(args);
        EXPECT_EQ(bad.status, 1);
        EXPECT_NE(bad.err.find("Usage: orvo-match"), std::string::npos);
    }
    // Detector options as orvo reads them, the classic settings alone
    // among them: orvo-match's own usage, never orvo's.
    const run_result classic = run_match({dir / "a.png", dir / "b.png", "--classic"});
    EXPECT_EQ(classic.status, 0) << classic.err;
    EXPECT_EQ(classic.out.find("Usage"), std::string::npos);
    for (const char* option : {"--min-area", "--subpixel-edges", "--edge-step"}) {
        const run_result bad = run_match({dir / "a.png", dir / "b.png", "--classic", option, "-1x"});
        EXPECT_EQ(bad.status, 1);
        EXPECT_EQ(bad.out, "");
        EXPECT_NE(bad.err.find("Usage: orvo-match"), std::string::npos) << bad.err;
    }
    const run_result batch = run_program(ORVO_BATCH_EXECUTABLE, {"--min-area", "-1", dir / "a.png"});
    EXPECT_EQ(batch.status, 1);
    EXPECT_EQ(batch.out, "");
    EXPECT_NE(batch.err.find("Usage: orvo-batch"), std::string::npos) << batch.err;

    // Outputs that are the same file as another or as an image are refused
    // before any work, whatever path leads to them.
    ASSERT_EQ(symlink("a.png", (dir / "link.png").c_str()), 0);
    const std::string photo = read_file(dir / "a.png");
    for (const std::vector<std::string>& outputs :
         {std::vector<std::string>{"-o", dir / "x.json", "--json", dir / "x.json"},
          {"-o", dir / "x.json", "--json", dir / "./x.json"}, {"-o", dir / "a.png"}, {"--json", dir / "b.png"},
          {"-o", dir / "link.png"}, {"--json", dir.path + "/../" + dir.path.substr(dir.path.rfind('/') + 1) + "/a.png"}}) {
        std::vector<std::string> clash = {dir / "a.png", dir / "b.png"};
        clash.insert(clash.end(), outputs.begin(), outputs.end());
        const run_result refused = run_match(clash);
        EXPECT_EQ(refused.status, 1) << outputs.back();
        EXPECT_NE(refused.err.find("nothing done"), std::string::npos) << refused.err;
        EXPECT_EQ(refused.out, "");
    }
    EXPECT_EQ(read_file(dir / "a.png"), photo);
    EXPECT_FALSE(file_exists(dir / "x.json"));
    const run_result descriptors = run_program(
        DESCRIPTORS_EXECUTABLE, {"-i", dir / "a.png", "-sift", "-p1", dir / "r.txt", "-o1", dir / "./r.txt"});
    EXPECT_EQ(descriptors.status, 1);
    EXPECT_NE(descriptors.err.find("-o1 would replace -p1"), std::string::npos) << descriptors.err;
    const run_result listed = run_program(ORVO_BATCH_EXECUTABLE, {dir / "a.png", "--failed-list", dir / "link.png"});
    EXPECT_EQ(listed.status, 1);
    EXPECT_NE(listed.err.find("--failed-list would replace the image"), std::string::npos) << listed.err;
    EXPECT_EQ(read_file(dir / "a.png"), photo);

    // Image names of any bytes: valid JSON (UTF-8 kept, other bytes as the
    // escapes os.fsencode reads back).
    const std::string odd = dir / "b\xff\xc3\xa9\xed\xa0\x80\"\x01.png";
    std::filesystem::copy_file(dir / "b.png", odd);
    ASSERT_EQ(run_match({dir / "a.png", odd, "--json", dir / "odd.json", "--threads", "1"}).status, 0);
    const std::string written = read_file(dir / "odd.json");
    EXPECT_NE(written.find("b\\udcff\xc3\xa9\\udced\\udca0\\udc80\\\"\\u0001.png\""), std::string::npos) << written;
    EXPECT_EQ(written.find('\xff'), std::string::npos);

    // An unreadable image, an output that cannot be written: status 2.
    EXPECT_EQ(run_match({dir / "a.png", dir / "missing.png"}).status, 2);
    const run_result unwritable = run_match({dir / "a.png", dir / "b.png", "--json", dir / "no/such/folder.json"});
    EXPECT_EQ(unwritable.status, 2);
    EXPECT_NE(unwritable.err.find("no/such/folder.json"), std::string::npos);
}
