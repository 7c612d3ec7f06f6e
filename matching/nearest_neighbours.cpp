// Mutual nearest neighbours from blocks of the squared-distance matrix
// |a|^2 + |b|^2 - 2 a.b, the products computed by matrix multiplication.
#include "matching/nearest_neighbours.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>
#include <thread>

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

    const int rows = a.rows;
    const int workers = std::max(1, std::min(threads, (rows + BLOCK_ROWS - 1) / BLOCK_ROWS));
    std::vector<nearest_pair> nearest(rows);
    std::vector<float> second(rows);
    std::vector<std::vector<nearest_pair>> back(workers, std::vector<nearest_pair>(b.rows));
    const auto share = [&](int k) { return static_cast<int>(static_cast<long long>(rows) * k / workers); };
    std::vector<std::thread> pool;
    for (int k = 1; k < workers; ++k) {
        try {
            pool.emplace_back(scan_rows, std::cref(a), std::cref(b), std::cref(norms_a), std::cref(norms_b),
                              share(k), share(k + 1), std::ref(nearest), std::ref(second), std::ref(back[k]));
        } catch (const std::system_error&) {
            // A thread that cannot be started leaves its share to this one.
            scan_rows(a, b, norms_a, norms_b, share(k), share(k + 1), nearest, second, back[k]);
        }
    }
    scan_rows(a, b, norms_a, norms_b, 0, share(1), nearest, second, back[0]);
    for (std::thread& t : pool) t.join();
    for (int k = 1; k < workers; ++k)
        for (int j = 0; j < b.rows; ++j)
            if (back[k][j].distance < back[0][j].distance) back[0][j] = back[k][j];

    const float squared_ratio = static_cast<float>(ratio * ratio);
    for (int i = 0; i < rows; ++i) {
        const int j = nearest[i].index;
        if (j >= 0 && back[0][j].index == i && nearest[i].distance < squared_ratio * second[i])
            matches.push_back({i, j, std::sqrt(nearest[i].distance),
                               second[i] < FAR ? std::sqrt(nearest[i].distance / second[i]) : 0.0f});
    }
    return matches;
}

}  // namespace orvo::detail
