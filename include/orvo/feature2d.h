// orvo/feature2d.h: Orvo as an OpenCV feature detector and descriptor.
//
//   cv::Ptr<cv::Feature2D> orvo_features = orvo::Feature2D::create();
//   std::vector<cv::KeyPoint> keypoints;
//   cv::Mat descriptors;
//   orvo_features->detectAndCompute(image, cv::noArray(), keypoints, descriptors);
//
// detect gives each region as a KeyPoint (orvo::to_keypoint). detectAndCompute
// describes the ellipses themselves; compute on given KeyPoints describes
// their circles (radius size / 2). Both describe each region grown by the
// measurement scale (3 by default).
#pragma once

#include <opencv2/features2d.hpp>

#include "orvo/detector.h"

namespace orvo {

class Feature2D : public cv::Feature2D {
public:
    static cv::Ptr<Feature2D> create(const DetectorOptions& options = {}, double measurement_scale = 3.0);

    explicit Feature2D(const DetectorOptions& options = {}, double measurement_scale = 3.0);

    void detect(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints, cv::InputArray mask = cv::noArray()) override;
    void compute(cv::InputArray image, std::vector<cv::KeyPoint>& keypoints, cv::OutputArray descriptors) override;
    void detectAndCompute(cv::InputArray image, cv::InputArray mask, std::vector<cv::KeyPoint>& keypoints,
                          cv::OutputArray descriptors, bool useProvidedKeypoints = false) override;

    int descriptorSize() const override;
    int descriptorType() const override;
    int defaultNorm() const override;
    cv::String getDefaultName() const override;

private:
    std::vector<Region> detect_regions(cv::InputArray image, cv::InputArray mask) const;

    DetectorOptions options_;
    double measurement_scale_;
};

}  // namespace orvo
