// Orvo behind OpenCV's Feature2D interface.
#include "orvo/feature2d.h"

#include <stdexcept>

#include "orvo/describe.h"

namespace orvo {

cv::Ptr<Feature2D> Feature2D::create(const DetectorOptions& options, double measurement_scale)
{
    return cv::makePtr<Feature2D>(options, measurement_scale);
}

Feature2D::Feature2D(const DetectorOptions& options, double measurement_scale)
    : options_(options), measurement_scale_(measurement_scale)
{
    options_.validate();
    if (!(measurement_scale > 0 && std::isfinite(measurement_scale)))
        throw std::invalid_argument("Feature2D: measurement_scale must be a positive finite number");
}

std::vector<Region> Feature2D::detect_regions(cv::InputArray image, cv::InputArray mask) const
{
    std::vector<Region> regions = orvo::detect(image.getMat(), options_);
    if (mask.empty()) return regions;
    const cv::Mat m = mask.getMat();
    std::vector<Region> kept;
    for (const Region& r : regions) {
        const int col = cvRound(r.x), row = cvRound(r.y);
        if (row >= 0 && row < m.rows && col >= 0 && col < m.cols && m.at<unsigned char>(row, col) != 0) kept.push_back(r);
    }
    return kept;
}

void Feature2D::detect(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints, cv::InputArray mask)
{
    keypoints.clear();
    for (const Region& r : detect_regions(image, mask)) keypoints.push_back(to_keypoint(r));
}

void Feature2D::compute(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints, cv::OutputArray descriptors)
{
    std::vector<Region> circles;
    circles.reserve(keypoints.size());
    for (const cv::KeyPoint& k : keypoints) circles.push_back(scaled(from_keypoint(k), measurement_scale_));
    describe(image.getMat(), circles).copyTo(descriptors);
}

void Feature2D::detectAndCompute(cv::InputArray image, cv::InputArray mask, std::vector<cv::KeyPoint>& keypoints,
                                 cv::OutputArray descriptors, bool useProvidedKeypoints)
{
    if (useProvidedKeypoints) {
        compute(image, keypoints, descriptors);
        return;
    }
    const std::vector<Region> regions = detect_regions(image, mask);
    keypoints.clear();
    for (const Region& r : regions) keypoints.push_back(to_keypoint(r));
    if (descriptors.needed()) describe(image.getMat(), scaled(regions, measurement_scale_)).copyTo(descriptors);
}

int Feature2D::descriptorSize() const { return DESCRIPTOR_SIZE; }
int Feature2D::descriptorType() const { return CV_8U; }
int Feature2D::defaultNorm() const { return cv::NORM_L2; }
cv::String Feature2D::getDefaultName() const { return "Orvo.Feature2D"; }

}  // namespace orvo
