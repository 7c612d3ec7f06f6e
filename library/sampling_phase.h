// Detection with the edge sampling started at another phase along every
// traced edge: for the localisation benchmark and the tests, which measure
// how far the regions move with the choice of the sampled pixels alone.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "orvo/detector.h"
#include "orvo/region.h"

namespace orvo::detail {

// detect(image, options, stats) with each edge sampled from the pixel
// `phase` steps past its seed (modulo each edge step) instead of from the
// seed itself; phase 0 is detect. Throws std::invalid_argument for a
// negative phase, as detect does for a bad option.
std::vector<Region> detect_at_sampling_phase(const cv::Mat& image, const DetectorOptions& options, int phase,
                                             DetectionStats* stats = nullptr);

}  // namespace orvo::detail
