// Mutual nearest neighbours from blocks of the squared-distance matrix
// |a|^2 + |b|^2 - 2 a.b, the products computed by matrix multiplication.
#include "matching/nearest_neighbours.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "parallel/jobs.h"

namespace orvo::detail {

namespace {

constexpr int BLOCK_ROWS = 256;
constexpr float FAR = std::numeric_limits<float>::infinity();

struct nearest_pair {
    float distance = FAR;  // squared
    int index = -1;
};

// For the rows [first, last) of `a`: each row's nearest and second nearest
// in `b`; and for each row of `b`, its nearest in these rows of `a`.
void scan_rows(const cv::Mat& a, const cv::Mat& b, const cv::Mat& norms_a, const cv::Mat& norms_b, int first,
               int last, std::vector<nearest_pair>& nearest, std::vector<float>& second, std::vector<nearest_pair>& back)
{
    cv::Mat products;
    for (int begin = first; begin < last; begin += BLOCK_ROWS) {
        const int end = std::min(last, begin + BLOCK_ROWS);
        cv::gemm(a.rowRange(begin, end), b, 1, cv::noArray(), 0, products, cv::GEMM_2_T);
        for (int i = begin; i < end; ++i) {
            const float* dot = products.ptr<float>(i - begin);
            const float* nb = norms_b.ptr<float>();
            const float na = norms_a.at<float>(i);
            nearest_pair best;
            float next = FAR;
            for (int j = 0; j < b.rows; ++j) {
                const float d = std::max(0.0f, na + nb[j] - 2 * dot[j]);
                if (d < best.distance) {
                    next = best.distance;
                    best = {d, j};
                } else if (d < next) {
                    next = d;
                }
                if (d < back[j].distance) back[j] = {d, i};
            }
            nearest[i] = best;
            second[i] = next;
        }
    }
}

}  // namespace

std::vector<tentative_match> mutual_nearest_neighbours(const cv::Mat& descriptors1, const cv::Mat& descriptors2,
                                                      double ratio, int threads)
{
    CV_Assert(descriptors1.cols == descriptors2.cols && threads >= 1);
    std::vector<tentative_match> matches;
    if (descriptors1.empty() || descriptors2.empty()) return matches;
    cv::Mat a, b, norms_a, norms_b;
    descriptors1.convertTo(a, CV_32F);
    descriptors2.convertTo(b, CV_32F);
    cv::reduce(a.mul(a), norms_a, 1, cv::REDUCE_SUM);
    cv::reduce(b.mul(b), norms_b, 1, cv::REDUCE_SUM);
    norms_b = norms_b.t();

    // The blocks of rows are the same whatever the number of threads, so are
    // their products; each thread keeps the nearest of its own rows for the
    // rows of b, merged in the order of (distance, row): the same matches
    // and distances for any number of threads.
    const int rows = a.rows;
    const std::size_t blocks = static_cast<std::size_t>((rows + BLOCK_ROWS - 1) / BLOCK_ROWS);
    std::vector<nearest_pair> nearest(rows), back(b.rows);
    std::vector<float> second(rows);
    std::mutex merging;
    run_in_shares(blocks, threads, [&](std::size_t first, std::size_t last) {
        std::vector<nearest_pair> own(b.rows);
        scan_rows(a, b, norms_a, norms_b, static_cast<int>(first) * BLOCK_ROWS,
                  std::min(rows, static_cast<int>(last) * BLOCK_ROWS), nearest, second, own);
        const std::lock_guard<std::mutex> lock(merging);
        for (int j = 0; j < b.rows; ++j)
            if (own[j].distance < back[j].distance ||
                (own[j].distance == back[j].distance && own[j].index < back[j].index))
                back[j] = own[j];
    });

    const float squared_ratio = static_cast<float>(ratio * ratio);
    for (int i = 0; i < rows; ++i) {
        const int j = nearest[i].index;
        if (j >= 0 && back[j].index == i && nearest[i].distance < squared_ratio * second[i])
            matches.push_back({i, j, std::sqrt(nearest[i].distance),
                               second[i] < FAR ? std::sqrt(nearest[i].distance / second[i]) : 0.0f});
    }
    return matches;
}

}  // namespace orvo::detail
