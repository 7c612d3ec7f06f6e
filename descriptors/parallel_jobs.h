// Running independent jobs on threads.
#pragma once

#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace orvo::detail {

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

}  // namespace orvo::detail
