// Benchmark of matching with affine verification.
//
//   match_bench [--classic] [SEQUENCE...]   homography accuracy on image 1 against images 2..6 of each
//                                           sequence (folders of img1.png.. and H1to<k>p), and the hypotheses
//                                           of the affine sampler against a four-point sampler
//   match_bench --time [--classic] [IMAGE1 IMAGE2]
//                                           the time of each step on one thread (median of three runs);
//                                           without images, a generated 1-megapixel view and its warp
//
// Without sequences it takes the four of ../shared/data/oxford. Status 1
// when an image or homography cannot be read.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "matching/affine_correspondence.h"
#include "matching/homography_estimator.h"
#include "matching/ransac.h"
#include "orvo/orvo.h"
#include "tests/generated_image.h"

namespace {

struct Features {
    std::vector<orvo::Region> regions;
    cv::Mat descriptors;
    std::vector<float> orientations;
};

Features features_of(const cv::Mat& image, const orvo::MatchOptions& options)
{
    Features f;
    f.regions = orvo::detect(image, options.detector);
    const double grown = options.detector.measurement_scale;
    f.descriptors = orvo::describe(image, orvo::scaled(f.regions, grown), &f.orientations);
    return f;
}

// Mean distance between where the two homographies take the image's corners.
double corner_error(const cv::Matx33d& truth, const cv::Matx33d& model, cv::Size size)
{
    double sum = 0;
    const double w = size.width - 1, h = size.height - 1;
    for (const cv::Vec3d& c : {cv::Vec3d(0, 0, 1), cv::Vec3d(w, 0, 1), cv::Vec3d(w, h, 1), cv::Vec3d(0, h, 1)}) {
        const cv::Vec3d a = truth * c, b = model * c;
        sum += std::hypot(a[0] / a[2] - b[0] / b[2], a[1] / a[2] - b[1] / b[2]);
    }
    return sum / 4;
}

bool read_homography(const std::string& file, cv::Matx33d& h)
{
    std::ifstream in(file);
    for (double& v : h.val)
        if (!(in >> v)) return false;
    return true;
}

// The affine correspondences of a result's tentative matches.
std::vector<orvo::detail::affine_correspondence> correspondences_of(const orvo::MatchResult& result,
                                                                   const Features& f1, const Features& f2)
{
    std::vector<orvo::detail::affine_correspondence> out;
    for (std::size_t k = 0; k < result.index1.size(); ++k) {
        const orvo::Region &a = result.regions1[k], &b = result.regions2[k];
        out.push_back(orvo::detail::correspondence_from_frames(
            {a.x, a.y}, orvo::detail::oriented_frame(a.a, a.b, a.c, f1.orientations[result.index1[k]]), {b.x, b.y},
            orvo::detail::oriented_frame(b.a, b.b, b.c, f2.orientations[result.index2[k]])));
    }
    return out;
}

// Both samplers on the same correspondences, with the same confidence:
// hypotheses drawn and the result's corner error, median over seeds.
void compare_samplers(const std::vector<orvo::detail::affine_correspondence>& correspondences,
                      const cv::Matx33d& truth, cv::Size size)
{
    std::printf("      %-8s %10s %8s %10s\n", "sampler", "hypotheses", "inliers", "error px");
    for (const bool affine : {true, false}) {
        std::vector<double> hypotheses, inliers, errors;
        for (unsigned seed = 1; seed <= 5; ++seed) {
            orvo::detail::ransac_options settings;
            settings.affine_samples = affine;
            settings.max_iterations = 1000000;
            settings.seed = seed;
            const auto r = orvo::detail::ransac(orvo::detail::homography_estimator(), correspondences, settings);
            hypotheses.push_back(r.hypotheses);
            inliers.push_back(r.inlier_count);
            errors.push_back(r.model ? corner_error(truth, *r.model, size) : INFINITY);
        }
        for (auto* v : {&hypotheses, &inliers, &errors}) std::sort(v->begin(), v->end());
        std::printf("      %-8s %10.0f %8.0f %10.2f\n", affine ? "2 ACs" : "4 points", hypotheses[2], inliers[2],
                    errors[2]);
    }
}

int accuracy(const std::vector<std::string>& sequences, const orvo::MatchOptions& options)
{
    int solved = 0, pairs = 0;
    for (const std::string& sequence : sequences) {
        const cv::Mat image1 = orvo::read_image(sequence + "/img1.png");
        const Features f1 = features_of(image1, options);
        for (int k = 2; k <= 6; ++k) {
            const std::string name = sequence + "/img" + std::to_string(k) + ".png";
            cv::Matx33d truth;
            if (!read_homography(sequence + "/H1to" + std::to_string(k) + "p", truth)) {
                std::fprintf(stderr, "match_bench: no homography for %s\n", name.c_str());
                return 1;
            }
            const Features f2 = features_of(orvo::read_image(name), options);
            const orvo::MatchResult r = orvo::match_features(f1.regions, f1.descriptors, f1.orientations, f2.regions,
                                                             f2.descriptors, f2.orientations, options);
            const double error = r.model ? corner_error(truth, *r.model, image1.size()) : INFINITY;
            solved += error <= 5;
            ++pairs;
            std::printf("%-40s 1-%d  corner error %8.2f px  %5zu tentative  %5zu inliers  %5zu hypotheses\n",
                        sequence.c_str(), k, error, r.counts.tentative, r.counts.inliers, r.counts.hypotheses);
            // Few inliers: the tentative matches of a loose ratio test.
            orvo::MatchOptions loose = options;
            loose.ratio = 1.0;
            const orvo::MatchResult all = orvo::match_features(f1.regions, f1.descriptors, f1.orientations,
                                                               f2.regions, f2.descriptors, f2.orientations, loose);
            const double share = all.counts.tentative ? double(all.counts.inliers) / all.counts.tentative : 0;
            if (share <= 0.15 && all.counts.inliers >= 8) {
                std::printf("    without the ratio test: %zu tentative, inlier share %.1f %%\n", all.counts.tentative,
                            100 * share);
                compare_samplers(correspondences_of(all, f1, f2), truth, image1.size());
            }
        }
    }
    std::printf("pairs within 5 px: %d of %d\n", solved, pairs);
    return 0;
}

double median_of_three(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int timing(const cv::Mat& image1, const cv::Mat& image2, const orvo::MatchOptions& options)
{
    std::vector<double> detect, describe, match, verify, total;
    orvo::MatchResult r;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        r = orvo::match(image1, image2, options);
        total.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        detect.push_back(r.times.detect);
        describe.push_back(r.times.describe);
        match.push_back(r.times.match);
        verify.push_back(r.times.verify);
    }
    std::printf("%dx%d and %dx%d, one thread: %zu and %zu regions, %zu tentative, %zu inliers\n", image1.cols,
                image1.rows, image2.cols, image2.rows, r.counts.regions1, r.counts.regions2, r.counts.tentative,
                r.counts.inliers);
    std::printf("detect %.0f ms, describe %.0f ms, match %.0f ms, verify %.1f ms, total %.0f ms\n",
                median_of_three(detect), median_of_three(describe), median_of_three(match),
                median_of_three(verify), median_of_three(total));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    orvo::MatchOptions options;
    bool time_only = false;
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--classic") == 0)
            options.detector = orvo::DetectorOptions();
        else if (std::strcmp(argv[i], "--time") == 0)
            time_only = true;
        else
            names.push_back(argv[i]);
    }
    options.detector.threads = 1;
    try {
        if (time_only) {
            if (names.size() == 2) return timing(orvo::read_image(names[0]), orvo::read_image(names[1]), options);
            const cv::Mat view = generated_image(1155, 866, 3);
            cv::Mat warped;
            const cv::Matx33d h(0.9, 0.12, 60, -0.1, 0.95, 40, 8e-5, -4e-5, 1);
            cv::warpPerspective(view, warped, h, view.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
            return timing(view, warped, options);
        }
        if (names.empty())
            for (const char* s : {"bikes", "boat", "leuven", "wall"})
                names.push_back(std::string(ORVO_SHARED_DATA) + "/oxford/" + s);
        return accuracy(names, options);
    } catch (const orvo::ImageError& e) {
        std::fprintf(stderr, "match_bench: %s\n", e.what());
        return 1;
    }
}
