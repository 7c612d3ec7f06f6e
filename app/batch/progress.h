// What a batch tells while it runs and when it ends: a progress bar on a
// terminal, or one line per image (-v), failures as they happen, then a
// summary and the failed images again.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "batch/extract.h"
#include "batch/inputs.h"
#include "batch/batch_options.h"

namespace orvo::batch {

struct batch_tally {
    std::size_t done = 0, skipped = 0, failed = 0, regions = 0;
    std::size_t finished() const { return done + skipped + failed; }
};

struct failed_image {
    std::size_t position;  // in the batch's list, for a stable order
    std::string path, reason;
};

// Everything goes to standard error. Safe to call from several threads.
class progress_report {
public:
    progress_report(verbosity level, std::size_t total);

    void record(std::size_t position, const image_entry& image, const image_outcome& outcome);
    // Redraws the bar (when shown), at most a few times a second.
    void refresh();
    // The summary (not with -q) and the failed images in list order; after
    // an interruption by `stop_signal` (0: none), how far the batch got.
    void finish(int stop_signal);

    batch_tally tally() const;
    // In list order.
    std::vector<failed_image> failures() const;

private:
    // With the mutex held:
    void draw_bar();
    std::vector<failed_image> sorted_failures() const;
    double elapsed_seconds() const;

    const verbosity level_;
    const bool bar_;
    const std::size_t total_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    mutable std::mutex mutex_;
    batch_tally tally_;
    std::vector<failed_image> failures_;
    double last_drawn_ = -1;
};

}  // namespace orvo::batch
