// Null vectors by singular value decomposition.
#include "matching/null_vector.h"

#include <cmath>

namespace orvo::detail {

std::optional<cv::Matx33d> null_vector(const cv::Mat& system)
{
    CV_Assert(system.type() == CV_64F && system.cols == 9 && system.rows >= 8);
    cv::Mat w, u, vt;
    // With fewer than nine rows only the full decomposition holds the null vector.
    cv::SVD::compute(system, w, u, vt, system.rows < 9 ? cv::SVD::FULL_UV : 0);
    // A second direction almost as free as the first: the rows do not
    // determine the matrix.
    const double largest = w.at<double>(0), eighth = w.at<double>(7);
    if (!(eighth > 1e-12 * largest)) return std::nullopt;
    cv::Matx33d x;
    for (int i = 0; i < 9; ++i) x.val[i] = vt.at<double>(vt.rows - 1, i);
    for (double v : x.val)
        if (!std::isfinite(v)) return std::nullopt;
    return x;
}

}  // namespace orvo::detail
