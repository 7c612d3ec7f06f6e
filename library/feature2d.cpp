// Orvo behind OpenCV's Feature2D interface.
#include "orvo/feature2d.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "library/measurement_region.h"

namespace orvo {
namespace detail {
namespace {

// What identifies a keypoint this object returned: its centre, size and
// angle, as the KeyPoint holds them.
using keypoint_key = std::tuple<float, float, float, float>;

keypoint_key key_of(const cv::KeyPoint& k) { return {k.pt.x, k.pt.y, k.size, k.angle}; }

// The `n` strongest regions in their order (of equal strengths the
// earlier); all when n is 0 or there are no more.
std::vector<Region> strongest(const std::vector<Region>& regions, int n)
{
    if (n == 0 || regions.size() <= static_cast<std::size_t>(n)) return regions;
    std::vector<std::size_t> order(regions.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t p, std::size_t q) { return regions[p].strength > regions[q].strength; });
    order.resize(static_cast<std::size_t>(n));
    std::sort(order.begin(), order.end());
    std::vector<Region> kept;
    for (const std::size_t k : order) kept.push_back(regions[k]);
    return kept;
}

class AlphaFeaturesImpl final : public AlphaFeatures {
public:
    AlphaFeaturesImpl(const DetectorOptions& options, double measurement_scale, int nfeatures, int descriptor_type)
        : options_(options), measurement_scale_(measurement_scale), nfeatures_(nfeatures),
          descriptor_type_(descriptor_type)
    {
    }

    DetectorOptions detector_options() const override { return options_; }
    double measurement_scale() const override { return measurement_scale_; }
    int nfeatures() const override { return nfeatures_; }

    void detect(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints, cv::InputArray mask) override
    {
        keypoints = keypoints_of(detect_regions(image, mask));
    }

    void compute(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints, cv::OutputArray descriptors) override
    {
        std::vector<Region> shapes;
        for (const cv::KeyPoint& k : keypoints) shapes.push_back(remembered_shape(k));
        describe_measured(image, shapes, keypoints, descriptors);
    }

    void detectAndCompute(cv::InputArray image, cv::InputArray mask, std::vector<cv::KeyPoint>& keypoints,
                          cv::OutputArray descriptors, bool useProvidedKeypoints) override
    {
        if (useProvidedKeypoints) {
            compute(image, keypoints, descriptors);
            return;
        }
        const std::vector<Region> regions = detect_regions(image, mask);
        keypoints = keypoints_of(regions);
        if (descriptors.needed()) describe_measured(image, regions, keypoints, descriptors);
    }

    int descriptorSize() const override { return DESCRIPTOR_SIZE; }
    int descriptorType() const override { return descriptor_type_; }
    int defaultNorm() const override { return cv::NORM_L2; }
    cv::String getDefaultName() const override { return cv::Feature2D::getDefaultName() + ".AlphaFeatures"; }

private:
    // The regions grown by the measurement scale, described; keypoints[i]
    // (of regions[i]) and its row kept when it can be described.
    void describe_measured(cv::InputArray image, const std::vector<Region>& regions,
                           std::vector<cv::KeyPoint>& keypoints, cv::OutputArray descriptors) const
    {
        std::vector<Region> measured_regions;
        std::vector<cv::KeyPoint> described;
        for (std::size_t k = 0; k < regions.size(); ++k) {
            if (const std::optional<Region> grown = measured(regions[k])) {
                measured_regions.push_back(*grown);
                described.push_back(keypoints[k]);
            }
        }
        keypoints = std::move(described);
        describe(image.getMat(), measured_regions).convertTo(descriptors, descriptor_type_);
    }

    // The region grown by the measurement scale, when that can be described.
    std::optional<Region> measured(const Region& region) const
    {
        return measurement_region(region, measurement_scale_);
    }

    // The ellipse of a keypoint this object returned, else its circle; a
    // region that is not valid for a size or centre that gives no circle.
    Region remembered_shape(const cv::KeyPoint& keypoint) const
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            for (auto detection = remembered_.rbegin(); detection != remembered_.rend(); ++detection)
                if (const auto found = detection->find(key_of(keypoint)); found != detection->end())
                    return found->second;
        }
        try {
            return from_keypoint(keypoint);
        } catch (const std::invalid_argument&) {
            return Region{};
        }
    }

    // The regions' keypoints, their ellipses remembered.
    std::vector<cv::KeyPoint> keypoints_of(const std::vector<Region>& regions)
    {
        std::vector<cv::KeyPoint> keypoints;
        std::map<keypoint_key, Region> shapes;
        for (const Region& r : regions) {
            keypoints.push_back(to_keypoint(r));
            shapes.emplace(key_of(keypoints.back()), r);
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        remembered_.push_back(std::move(shapes));
        if (remembered_.size() > static_cast<std::size_t>(REMEMBERED_DETECTIONS)) remembered_.pop_front();
        return keypoints;
    }

    std::vector<Region> detect_regions(cv::InputArray image, cv::InputArray mask) const
    {
        const cv::Mat pixels = image.getMat();
        if (!mask.empty() && (mask.type() != CV_8UC1 || mask.size() != pixels.size()))
            throw std::invalid_argument("AlphaFeatures: the mask must be CV_8UC1 of the image's size");
        std::vector<Region> regions = orvo::detect(pixels, options_);
        if (mask.empty()) return strongest(regions, nfeatures_);
        const cv::Mat m = mask.getMat();
        std::vector<Region> kept;
        for (const Region& r : regions) {
            const int row = cvRound(r.y), col = cvRound(r.x);
            if (row >= 0 && row < m.rows && col >= 0 && col < m.cols && m.at<unsigned char>(row, col) != 0)
                kept.push_back(r);
        }
        return strongest(kept, nfeatures_);
    }

    DetectorOptions options_;
    double measurement_scale_;
    int nfeatures_;
    int descriptor_type_;
    mutable std::mutex mutex_;
    std::deque<std::map<keypoint_key, Region>> remembered_;  // one map per detection, the latest last
};

}  // namespace
}  // namespace detail

cv::Ptr<AlphaFeatures> AlphaFeatures::create(const DetectorOptions& options)
{
    return create(options, options.measurement_scale);
}

cv::Ptr<AlphaFeatures> AlphaFeatures::create(const DetectorOptions& options, double measurement_scale, int nfeatures,
                                             int descriptor_type)
{
    options.validate();
    if (!(measurement_scale > 0 && std::isfinite(measurement_scale)))
        throw std::invalid_argument("AlphaFeatures: measurement_scale must be a positive finite number");
    if (nfeatures < 0) throw std::invalid_argument("AlphaFeatures: nfeatures must be 0 (all) or positive");
    if (descriptor_type != CV_32F && descriptor_type != CV_8U)
        throw std::invalid_argument("AlphaFeatures: descriptor_type must be CV_32F or CV_8U");
    return cv::makePtr<detail::AlphaFeaturesImpl>(options, measurement_scale, nfeatures, descriptor_type);
}

}  // namespace orvo
