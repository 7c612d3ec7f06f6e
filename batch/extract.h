// One image of a batch: skipped when its outputs are up to date, otherwise
// read, detected (and described) and its outputs written.
#pragma once

#include <cstddef>
#include <string>

#include "batch/inputs.h"
#include "batch/batch_options.h"

namespace orvo::batch {

enum class image_status { done, skipped, failed };

struct image_outcome {
    image_status status = image_status::done;
    std::size_t regions = 0;  // when done
    std::string reason;       // when failed: what went wrong, for messages
};

// The options each image is detected with: options.detector, its scale
// grown by the measurement scale when the orvo format's descriptor file is
// written (as orvo -sift does).
orvo::DetectorOptions detection_options(const batch_options& options);

// "" when the detector options are valid and some region could be written
// at this scale; otherwise why not (no region of any image could be written
// readably at so large or so small a scale).
std::string options_refusal(const batch_options& options);

// Never throws: every failure, out of memory included, is an outcome.
image_outcome extract_image(const image_entry& image, const batch_options& options);

}  // namespace orvo::batch
