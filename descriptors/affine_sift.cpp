// Affine-invariant SIFT descriptors: each region's patch sampled, its
// orientation measured, the turned patch sampled and described, regions
// shared among threads in blocks.
#include "descriptors/affine_sift.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <utility>

#include "descriptors/image_pyramid.h"
#include "descriptors/patch.h"
#include "parallel/jobs.h"
#include "ellipse/ellipse_matrix.h"

namespace orvo::detail {

namespace {

// Regions a thread takes at a time.
constexpr std::size_t BLOCK = 64;

// The order in which regions are described: by the pyramid level of their
// patches, then in bands of rows, then along each band, so that
// consecutive patches read nearby pixels.
std::vector<std::uint32_t> visiting_order(const std::vector<Region>& regions, const std::vector<unsigned char>& levels)
{
    constexpr double BAND_ROWS = 64;  // at the level
    constexpr double LARGEST = (1 << 20) - 1;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(regions.size());
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const double scale = std::ldexp(1.0, -levels[i]);
        const auto band = static_cast<std::uint64_t>(std::clamp(regions[i].y * scale / BAND_ROWS, 0.0, LARGEST));
        const auto column = static_cast<std::uint64_t>(std::clamp(regions[i].x * scale, 0.0, LARGEST));
        const std::uint64_t key = (static_cast<std::uint64_t>(levels[i]) << 40) | (band << 20) | column;
        keyed[i] = {key, static_cast<std::uint32_t>(i)};
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<std::uint32_t> order(regions.size());
    for (std::size_t i = 0; i < keyed.size(); ++i) order[i] = keyed[i].second;
    return order;
}

// The image direction of a frame's x axis, radians in [0, 2 pi).
float x_axis_direction(const patch_frame& frame)
{
    const double angle = std::atan2(frame.to_level(1, 0), frame.to_level(0, 0));
    const float wrapped = static_cast<float>(angle < 0 ? angle + 2 * CV_PI : angle);
    return wrapped < static_cast<float>(2 * CV_PI) ? wrapped : 0.0f;
}

}  // namespace

bool can_sample_patch(const Region& r)
{
    if (!(std::fabs(r.x) <= MAX_CENTRE && std::fabs(r.y) <= MAX_CENTRE && r.a > 0 && r.c > 0)) return false;
    // Semi-axes are 1 / sqrt(eigenvalue), so the eigenvalues must lie within
    // [1 / MAX_SEMI_AXIS^2, 1 / MIN_SEMI_AXIS^2]. The smaller one is the
    // determinant over the larger, here without the underflow of a c - b^2
    // for tiny matrices.
    const double larger = eigenvalues({r.a, r.b, r.c}).larger;
    const double smaller = (r.a / larger) * r.c - (r.b / larger) * r.b;
    return larger <= 1 / (MIN_SEMI_AXIS * MIN_SEMI_AXIS) && smaller >= 1 / (MAX_SEMI_AXIS * MAX_SEMI_AXIS);
}

cv::Mat describe_regions(const cv::Mat& grey, const std::vector<Region>& regions, std::vector<float>* orientations,
                         int threads)
{
    CV_Assert(grey.type() == CV_8UC1);
    CV_Assert(regions.size() <= UINT32_MAX);
    int highest = 0;
    std::vector<unsigned char> levels(regions.size());
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const Region& region = regions[i];
        CV_Assert(can_sample_patch(region));
        const double minor = ellipse_semi_axes({region.a, region.b, region.c}).minor;
        const int level = patch_level(minor, DESCRIPTOR_RADIUS);
        levels[i] = static_cast<unsigned char>(level);
        highest = std::max({highest, level, patch_level(minor, ORIENTATION_RADIUS)});
    }
    cv::Mat descriptors(static_cast<int>(regions.size()), DESCRIPTOR_LENGTH, CV_8UC1);
    if (orientations != nullptr) orientations->assign(regions.size(), 0.0f);
    if (regions.empty()) return descriptors;

    const std::vector<std::uint32_t> order = visiting_order(regions, levels);
    threads = std::max(1, threads);
    const image_pyramid pyramid(grey, highest, threads);
    const std::vector<float> orientation_taps = gaussian_taps(ORIENTATION_SMOOTHING);
    const std::vector<float> descriptor_taps = gaussian_taps(DESCRIPTOR_SMOOTHING);
    std::atomic<std::size_t> next_block{0};
    const int workers = static_cast<int>(std::min<std::size_t>(threads, (regions.size() + BLOCK - 1) / BLOCK));
    run_jobs(workers, [&](int) {
        patch_buffers buffers;
        for (std::size_t first; (first = next_block.fetch_add(BLOCK)) < regions.size();) {
            const std::size_t end = std::min(first + BLOCK, regions.size());
            for (std::size_t k = first; k < end; ++k) {
                const std::size_t i = order[k];
                const Region& r = regions[i];
                const ellipse_matrix m{r.a, r.b, r.c};
                const cv::Matx22d T = inverse_square_root(m);
                const double minor = ellipse_semi_axes(m).minor;
                const patch_frame coarse = patch_frame_of({r.x, r.y}, T, minor, ORIENTATION_RADIUS, pyramid.highest());
                const double angle = dominant_orientation(orientation_patch(pyramid, coarse, orientation_taps, buffers));
                const patch_frame turned_frame =
                    turned(patch_frame_of({r.x, r.y}, T, minor, DESCRIPTOR_RADIUS, pyramid.highest()), angle);
                if (orientations != nullptr) (*orientations)[i] = x_axis_direction(turned_frame);
                describe_turned_patch(descriptor_patch(pyramid, turned_frame, descriptor_taps, buffers),
                                      descriptors.ptr(static_cast<int>(i)));
            }
        }
    });
    return descriptors;
}

}  // namespace orvo::detail
