// orvo/feature2d.h: Orvo's regions and descriptors as an OpenCV Feature2D.
//
//   cv::Ptr<orvo::AlphaFeatures> features = orvo::AlphaFeatures::create();
//   std::vector<cv::KeyPoint> keypoints;
//   cv::Mat descriptors;
//   features->detectAndCompute(image, cv::noArray(), keypoints, descriptors);
//
// detect gives each region as a KeyPoint (orvo::to_keypoint). detectAndCompute
// describes the ellipses themselves; compute on given KeyPoints describes
// their circles (radius size / 2). Both describe each region grown by the
// measurement scale (the options' own by default, 3 in both presets), and
// drop from `keypoints` those whose regions cannot be described
// (can_describe), as OpenCV's own descriptors drop theirs, so that
// descriptor row i belongs to keypoints[i].
//
// A mask, as for OpenCV's detectors, is empty (none) or CV_8UC1 of the
// image's size; a region is kept when the mask is not zero at its centre.
// Another mask, a bad image or a bad option throws std::invalid_argument.
#pragma once

#include <opencv2/features2d.hpp>

#include "orvo/describe.h"
#include "orvo/detector.h"
#include "orvo/export.h"

namespace orvo {

// The detector's regions (from the alpha shape of the image's edges) with
// their affine-invariant SIFT descriptors.
class ORVO_EXPORT AlphaFeatures : public cv::Feature2D {
public:
    // Throws std::invalid_argument for a bad option or a measurement scale
    // that is not a positive finite number.
    static cv::Ptr<AlphaFeatures> create(const DetectorOptions& options = {});
    static cv::Ptr<AlphaFeatures> create(const DetectorOptions& options, double measurement_scale);

    virtual DetectorOptions detector_options() const = 0;
    virtual double measurement_scale() const = 0;
};

}  // namespace orvo
