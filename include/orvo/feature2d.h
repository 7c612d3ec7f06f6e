// orvo/feature2d.h: Orvo's regions and descriptors as an OpenCV Feature2D.
//
//   cv::Ptr<orvo::AlphaFeatures> features = orvo::AlphaFeatures::create();
//   std::vector<cv::KeyPoint> keypoints;
//   cv::Mat descriptors;
//   features->detectAndCompute(image, cv::noArray(), keypoints, descriptors);
//
// detect gives each region as a KeyPoint (orvo::to_keypoint), its response
// the region's strength (Region::strength), so that
// cv::KeyPointsFilter::retainBest keeps the strongest regions. Descriptors
// are CV_32F by default, as OpenCV's SIFT gives them (cv::FlannBasedMatcher
// needs them so), or CV_8U on request; the values are the same (0..255).
//
// detect then compute gives the same descriptors as detectAndCompute: a
// KeyPoint holds no ellipse, so the object remembers the ellipse of every
// keypoint it returned from its last REMEMBERED_DETECTIONS detections (by
// detect or detectAndCompute), keyed by the keypoint's centre, size and
// angle, and compute describes those keypoints by their ellipses. Any other
// keypoint (from another detector or another AlphaFeatures, one whose
// centre, size or angle was changed, or one from an older detection) is
// described by its circle, of diameter size. Changing response, octave or
// class_id does not matter.
//
// Both describe each region grown by the measurement scale (the options'
// own by default, 3 in both presets), and drop from `keypoints` those whose
// regions cannot be described (can_describe), as OpenCV's own descriptors
// drop theirs, so that descriptor row i belongs to keypoints[i].
//
// A mask, as for OpenCV's detectors, is empty (none) or CV_8UC1 of the
// image's size; a region is kept when the mask is not zero at its centre.
// Another mask, a bad image or a bad option throws std::invalid_argument.
// One object may be used from several threads.
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
    // How many detections' ellipses an object remembers for compute.
    static constexpr int REMEMBERED_DETECTIONS = 16;

    // nfeatures: when positive, each detection keeps its nfeatures strongest
    // regions (in detection order; of equal strengths the earlier), as
    // OpenCV's SIFT does; 0 keeps all. descriptor_type: CV_32F or CV_8U.
    // Throws std::invalid_argument for a bad option, a measurement scale that
    // is not a positive finite number, a negative nfeatures or another
    // descriptor type.
    static cv::Ptr<AlphaFeatures> create(const DetectorOptions& options = {});
    static cv::Ptr<AlphaFeatures> create(const DetectorOptions& options, double measurement_scale,
                                         int nfeatures = 0, int descriptor_type = CV_32F);

    virtual DetectorOptions detector_options() const = 0;
    virtual double measurement_scale() const = 0;
    virtual int nfeatures() const = 0;
};

}  // namespace orvo
