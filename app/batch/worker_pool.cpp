// The worker pool: an atomic counter hands out list positions; one watcher
// thread waits for the stop signals (blocked everywhere, so no asynchronous
// handler ever runs in a worker) and redraws the progress bar.
#include "app/batch/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>
#include <thread>

#include "io/atomic_file.h"

namespace {

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// Waits for a stop signal, refreshing the progress meanwhile, until the
// workers are finished.
void watch(const std::atomic<bool>& finished, std::atomic<int>& stop_signal, progress_report& progress)
{
    const sigset_t set = stop_signals();
    const timespec interval{0, 100 * 1000 * 1000};
    while (!finished.load()) {
        const int signal = sigtimedwait(&set, nullptr, &interval);
        if (signal > 0 && stop_signal.load() == 0) stop_signal.store(signal);
        progress.refresh();
    }
}

}  // namespace

void prepare_signals()
{
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    ignore_signals_for_file_output();
}

std::size_t shard_size(std::size_t images, const batch_options& options)
{
    if (images <= options.shard_index) return 0;
    return (images - options.shard_index + options.shard_count - 1) / options.shard_count;
}

int run_workers(const std::vector<image_entry>& images, const batch_options& options, progress_report& progress)
{
    batch_options worker_options = options;
    worker_options.detector.threads = 1;
    const std::size_t count = shard_size(images.size(), options);
    std::atomic<std::size_t> next{0};
    std::atomic<int> stop_signal{0};
    std::atomic<bool> finished{false};

    auto work = [&] {
        while (stop_signal.load() == 0) {
            const std::size_t k = next.fetch_add(1);
            if (k >= count) return;
            const std::size_t position = options.shard_index + k * options.shard_count;
            progress.record(position, images[position], extract_image(images[position], worker_options));
        }
    };
    std::thread watcher(watch, std::cref(finished), std::ref(stop_signal), std::ref(progress));
    const std::size_t worker_count = std::min<std::size_t>(static_cast<std::size_t>(options.jobs), std::max<std::size_t>(count, 1));
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < worker_count; ++i) workers.emplace_back(work);
    for (std::thread& worker : workers) worker.join();
    finished.store(true);
    watcher.join();
    return stop_signal.load();
}
