// Tentative matches between two sets of descriptors: mutual nearest
// neighbours (Euclidean) that pass the ratio test.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace orvo::detail {

struct tentative_match {
    int index1 = 0, index2 = 0;
    // The descriptor distance from index1 to index2 (Euclidean), and its
    // ratio to the distance from index1 to its second nearest (0 when there
    // is no second).
    float distance = 0, ratio = 0;
};

// Pairs (i, j) such that row j of `descriptors2` is the nearest to row i of
// `descriptors1`, row i the nearest to row j, and the distance from i to j
// is below `ratio` times the distance from i to its second nearest in
// `descriptors2` (always true when there is no second). Both matrices have
// the same number of columns, any depth; ordered by i. `threads` (>= 1)
// threads compute the distances.
std::vector<tentative_match> mutual_nearest_neighbours(const cv::Mat& descriptors1, const cv::Mat& descriptors2,
                                                      double ratio, int threads);

}  // namespace orvo::detail
