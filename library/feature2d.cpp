// Orvo behind OpenCV's Feature2D interface.
#include "orvo/feature2d.h"

#include <cmath>
#include <optional>
#include <stdexcept>

#include "library/measurement_region.h"

namespace orvo {
namespace detail {
namespace {

class AlphaFeaturesImpl final : public AlphaFeatures {
public:
    AlphaFeaturesImpl(const DetectorOptions& options, double measurement_scale)
        : options_(options), measurement_scale_(measurement_scale)
    {
    }

    DetectorOptions detector_options() const override { return options_; }
    double measurement_scale() const override { return measurement_scale_; }

    void detect(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints, cv::InputArray mask) override
    {
        keypoints.clear();
        for (const Region& r : detect_regions(image, mask)) keypoints.push_back(to_keypoint(r));
    }

    void compute(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints, cv::OutputArray descriptors) override
    {
        std::vector<Region> circles;
        std::vector<cv::KeyPoint> described;
        for (const cv::KeyPoint& k : keypoints) {
            if (const std::optional<Region> circle = measured_circle(k)) {
                circles.push_back(*circle);
                described.push_back(k);
            }
        }
        keypoints = std::move(described);
        describe(image.getMat(), circles).copyTo(descriptors);
    }

    void detectAndCompute(cv::InputArray image, cv::InputArray mask, std::vector<cv::KeyPoint>& keypoints,
                          cv::OutputArray descriptors, bool useProvidedKeypoints) override
    {
        if (useProvidedKeypoints) {
            compute(image, keypoints, descriptors);
            return;
        }
        std::vector<Region> regions = detect_regions(image, mask);
        keypoints.clear();
        if (!descriptors.needed()) {
            for (const Region& r : regions) keypoints.push_back(to_keypoint(r));
            return;
        }
        std::vector<Region> measured_regions;
        for (const Region& r : regions) {
            if (const std::optional<Region> grown = measured(r)) {
                measured_regions.push_back(*grown);
                keypoints.push_back(to_keypoint(r));
            }
        }
        describe(image.getMat(), measured_regions).copyTo(descriptors);
    }

    int descriptorSize() const override { return DESCRIPTOR_SIZE; }
    int descriptorType() const override { return CV_8U; }
    int defaultNorm() const override { return cv::NORM_L2; }
    cv::String getDefaultName() const override { return cv::Feature2D::getDefaultName() + ".AlphaFeatures"; }

private:
    // The region grown by the measurement scale, when that can be described.
    std::optional<Region> measured(const Region& region) const
    {
        return measurement_region(region, measurement_scale_);
    }

    // The keypoint's circle grown by the measurement scale, when that can be
    // described.
    std::optional<Region> measured_circle(const cv::KeyPoint& keypoint) const
    {
        try {
            return measured(from_keypoint(keypoint));
        } catch (const std::invalid_argument&) {
            return std::nullopt;  // a size or centre that gives no valid circle
        }
    }

    std::vector<Region> detect_regions(cv::InputArray image, cv::InputArray mask) const
    {
        const cv::Mat pixels = image.getMat();
        if (!mask.empty() && (mask.type() != CV_8UC1 || mask.size() != pixels.size()))
            throw std::invalid_argument("AlphaFeatures: the mask must be CV_8UC1 of the image's size");
        std::vector<Region> regions = orvo::detect(pixels, options_);
        if (mask.empty()) return regions;
        const cv::Mat m = mask.getMat();
        std::vector<Region> kept;
        for (const Region& r : regions) {
            const int row = cvRound(r.y), col = cvRound(r.x);
            if (row >= 0 && row < m.rows && col >= 0 && col < m.cols && m.at<unsigned char>(row, col) != 0)
                kept.push_back(r);
        }
        return kept;
    }

    DetectorOptions options_;
    double measurement_scale_;
};

}  // namespace
}  // namespace detail

cv::Ptr<AlphaFeatures> AlphaFeatures::create(const DetectorOptions& options)
{
    return create(options, options.measurement_scale);
}

cv::Ptr<AlphaFeatures> AlphaFeatures::create(const DetectorOptions& options, double measurement_scale)
{
    options.validate();
    if (!(measurement_scale > 0 && std::isfinite(measurement_scale)))
        throw std::invalid_argument("AlphaFeatures: measurement_scale must be a positive finite number");
    return cv::makePtr<detail::AlphaFeaturesImpl>(options, measurement_scale);
}

}  // namespace orvo
