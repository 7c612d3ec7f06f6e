// The least-squares solution of a homogeneous linear system in the nine
// entries of a 3 x 3 matrix.
#pragma once

#include <opencv2/core.hpp>
#include <optional>

namespace orvo::detail {

// The unit vector x minimising |system x|, for `system` N x 9 (CV_64F),
// N >= 8, as a 3 x 3 matrix read row by row. Nothing when it is not finite
// or the system leaves more than one direction free.
std::optional<cv::Matx33d> null_vector(const cv::Mat& system);

}  // namespace orvo::detail
