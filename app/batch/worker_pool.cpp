// The worker pool: an atomic counter hands out list positions; the calling
// thread waits for the workers, redrawing the progress bar, and the workers
// look at the stop record before each image.
#include "app/batch/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <system_error>
#include <thread>

#include "app/batch/stop_signals.h"

namespace orvo::batch {

namespace {

constexpr int REFRESH_MILLISECONDS = 100;

}  // namespace

std::size_t shard_size(std::size_t images, const batch_options& options)
{
    if (images <= options.shard_index) return 0;
    return (images - options.shard_index + options.shard_count - 1) / options.shard_count;
}

int run_workers(const std::vector<image_entry>& images, const batch_options& options, progress_report& progress)
{
    const std::size_t count = shard_size(images.size(), options);
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> running{0};

    // Memory may run out outside an image's own extraction too (while its
    // failure is reported): the worker then stops, and once every worker has
    // ended the run ends as out of memory, instead of the exception ending
    // the process from a thread.
    std::atomic<bool> out_of_memory{false};
    auto work = [&] {
        try {
            while (stop_signal_received() == 0 && !out_of_memory.load()) {
                const std::size_t k = next.fetch_add(1);
                if (k >= count) break;
                const std::size_t position = options.shard_index + k * options.shard_count;
                progress.record(position, images[position], extract_image(images[position], options));
            }
        } catch (const std::bad_alloc&) {
            out_of_memory.store(true);
        }
        running.fetch_sub(1);
    };
    const std::size_t wanted = std::min<std::size_t>(static_cast<std::size_t>(options.jobs), std::max<std::size_t>(count, 1));
    // A single worker is the calling thread itself: a thread of its own
    // would need a memory arena of its own, which an address-space limit
    // may not leave room for.
    std::vector<std::thread> workers;
    workers.reserve(wanted);
    try {
        while (wanted > 1 && workers.size() < wanted) {
            running.fetch_add(1);
            workers.emplace_back(work);
        }
    } catch (const std::system_error& e) {
        running.fetch_sub(1);
        std::fprintf(stderr, "orvo-batch: %zu of %zu worker threads could be started (%s); going on with %zu\n",
                     workers.size(), wanted, e.what(), std::max<std::size_t>(workers.size(), 1));
    }
    if (workers.empty()) {
        running.fetch_add(1);
        work();
    }
    while (running.load() > 0 && !wait_for_stop(REFRESH_MILLISECONDS)) progress.refresh();
    for (std::thread& worker : workers) worker.join();
    if (out_of_memory.load()) throw std::bad_alloc();
    return stop_signal_received();
}

}  // namespace orvo::batch
