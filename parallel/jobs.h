// Running independent jobs on threads: each job on a thread of its own, or
// a range of items cut into consecutive shares, one per thread. Every stage
// that works on several threads uses these, and each call counts as a
// parallel section (parallel/processor_time.h) however many threads it is
// given, except a range of a single item, which no thread count divides.
//
//   run_in_shares(items.size(), threads, [&](std::size_t begin, std::size_t end) {
//       for (std::size_t k = begin; k < end; ++k) process(items[k]);
//   });
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "parallel/processor_time.h"

namespace orvo::detail {

// run_jobs without counting it as a parallel section.
template <class Job>
void run_jobs_uncounted(int count, const Job& job)
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

// Runs job(0) .. job(count - 1), each on its own thread, the calling thread
// doing job 0. A job whose thread cannot be started runs on the calling
// thread after job 0. The first exception of a job is rethrown once all of
// them have ended.
template <class Job>
void run_jobs(int count, const Job& job)
{
    const parallel_section counted;
    run_jobs_uncounted(count, job);
}

// Calls work(begin, end) on `threads` consecutive shares of 0 .. count - 1
// (as many as there are items when fewer), as the jobs of run_jobs.
template <class Work>
void run_in_shares(std::size_t count, int threads, const Work& work)
{
    const std::size_t shares = std::max<std::size_t>(1, std::min<std::size_t>(threads, count));
    const auto share = [&](int j) { work(count * j / shares, count * (j + 1) / shares); };
    if (count > 1) run_jobs(static_cast<int>(shares), share);
    else run_jobs_uncounted(static_cast<int>(shares), share);
}

// Runs work(0) .. work(count - 1) on up to `threads` threads, the calling
// thread one of them, each thread taking the next k when it is done with
// one. An exception ends its thread's turn and is rethrown at the end.
template <class Work>
void run_in_turn(std::size_t count, int threads, Work work)
{
    std::atomic<std::size_t> next{0};
    run_in_shares(count, threads, [&](std::size_t, std::size_t) {
        for (std::size_t k = next++; k < count; k = next++) work(k);
    });
}

}  // namespace orvo::detail
