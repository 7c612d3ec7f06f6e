// Running a batch's images on a pool of worker threads, stopping cleanly on
// SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <vector>

#include "batch/inputs.h"
#include "batch/batch_options.h"
#include "app/batch/progress.h"

namespace orvo::batch {

// Extracts the images of the shard (positions options.shard_index modulo
// options.shard_count) with options.jobs workers, each pulling the next
// position when it is free, so that at most one image per worker is in
// memory. A single worker is the calling thread. When fewer threads can be
// started than asked for, the run goes on with those that could (with none,
// in the calling thread), after a message.
// A stop signal (catch_stop_signals) lets every worker finish its current
// image and start no other. Returns the stop signal received, or 0. Throws
// std::bad_alloc, once every worker has ended, when memory ran out outside
// an image's own extraction (its failure could not be recorded).
int run_workers(const std::vector<image_entry>& images, const batch_options& options, progress_report& progress);

// The number of images in the shard.
std::size_t shard_size(std::size_t images, const batch_options& options);

}  // namespace orvo::batch
