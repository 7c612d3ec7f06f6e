// Running a batch's images on a pool of worker threads, stopping cleanly on
// SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <vector>

#include "app/batch/inputs.h"
#include "app/batch/options.h"
#include "app/batch/progress.h"

// Blocks the stop signals in the calling thread and so in every thread it
// starts later, and ignores SIGPIPE and SIGXFSZ (a write beyond a file size
// limit fails instead of ending the process). Call before starting any
// thread.
void prepare_signals();

// Extracts the images of the shard (positions options.shard_index modulo
// options.shard_count) with options.jobs workers, each pulling the next
// position when it is free, so that at most one image per worker is in
// memory. A stop signal lets every worker finish its current image and
// start no other. Returns the stop signal received, or 0.
int run_workers(const std::vector<image_entry>& images, const batch_options& options, progress_report& progress);

// The number of images in the shard.
std::size_t shard_size(std::size_t images, const batch_options& options);
