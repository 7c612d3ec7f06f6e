// One image of a batch: skipped when its outputs are up to date, otherwise
// read, detected (and described) and its outputs written.
#pragma once

#include <cstddef>
#include <string>

#include "app/batch/inputs.h"
#include "app/batch/options.h"

enum class image_status { done, skipped, failed };

struct image_outcome {
    image_status status = image_status::done;
    std::size_t regions = 0;  // when done
    std::string reason;       // when failed: what went wrong, for messages
};

// Never throws: every failure, out of memory included, is an outcome.
// The detector runs with options.detector (threads = 1 for a worker).
image_outcome extract_image(const image_entry& image, const batch_options& options);
