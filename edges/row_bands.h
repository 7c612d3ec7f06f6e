// The front stages of the edge detection (smoothing, derivatives, magnitude,
// suppression) over a band of rows, streaming through it with only a few
// rows of their intermediate images, so that only the magnitude and the
// suppression map are whole images. A band recomputes the rows just outside
// it that it needs, so bands are independent and may run on separate
// threads; and a way to run such jobs on threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <opencv2/core.hpp>
#include <system_error>
#include <thread>
#include <vector>

#include "edges/gradient.h"

namespace orvo::detail {

// What one band needs besides the shared images, allocated before the bands
// start.
struct band_buffers {
    int first = 0, end = 0;  // the band's rows [first, end)
    std::vector<short> smoothed, dx, dy, halo;
    std::vector<int> histogram;  // empty when the band counts into a shared one
    magnitude_range range{0, 0};  // smallest and largest magnitude of the band's rows

    band_buffers(int first, int end, int cols, bool own_histogram);
};

// Computes, for the band's rows, the magnitude (into `magnitude`) and the
// suppression map (into `map`: CANDIDATE or NOT_CANDIDATE, the frame and
// the second-to-last row and column NOT_CANDIDATE), counting the
// candidates' magnitudes in `histogram`, and the band's magnitude range.
// `presmoothed` is the whole image, `kernel` the Gaussian kernel.
void compute_band(const cv::Mat& presmoothed, const std::vector<float>& kernel, band_buffers& band, short* magnitude,
                  unsigned char* map, int* histogram, bool vectorised);

// Runs job(0) .. job(count - 1), each on its own thread, the calling thread
// doing job 0. A job whose thread cannot be started runs on the calling
// thread after job 0. The first exception of a job is rethrown once all of
// them have ended.
template <class Job>
void run_jobs(int count, const Job& job)
{
    std::vector<std::exception_ptr> errors(count);
    auto guarded = [&](int j) {
        try {
            job(j);
        } catch (...) {
            errors[j] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    std::vector<int> unstarted;
    threads.reserve(count);
    unstarted.reserve(count);
    for (int j = 1; j < count; ++j) {
        try {
            threads.emplace_back(guarded, j);
        } catch (const std::system_error&) {
            unstarted.push_back(j);
        }
    }
    guarded(0);
    for (int j : unstarted) guarded(j);
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

// Calls work(begin, end) on `threads` consecutive shares of 0 .. count - 1
// (as many as there are items when fewer), as the jobs of run_jobs.
template <class Work>
void run_in_shares(std::size_t count, int threads, const Work& work)
{
    const std::size_t shares = std::max<std::size_t>(1, std::min<std::size_t>(threads, count));
    run_jobs(static_cast<int>(shares), [&](int j) { work(count * j / shares, count * (j + 1) / shares); });
}

}  // namespace orvo::detail
