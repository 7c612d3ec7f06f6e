// The options of a batch: what to extract, from which images, where the
// outputs go and how the run reports. orvo-batch fills them from its command
// line, orvo.dask from its keyword arguments.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "orvo/detector.h"

namespace orvo::batch {

enum class output_format { orvo, colmap };
enum class verbosity { quiet, normal, verbose };

struct batch_options {
    orvo::DetectorOptions detector;  // -t, -s, --dense, --threads (per image) and the others, as given
    std::vector<std::string> inputs; // images, folders and @LISTs, in the order given
    std::string output_dir;          // -o; empty: outputs beside each image
    output_format format = output_format::orvo;
    bool sift = false;               // --sift: the descriptor file too
    bool force = false;              // --force: redo images whose outputs are up to date
    int jobs = 1;                    // -j: worker threads
    std::size_t shard_index = 0, shard_count = 1;  // --shard K/N
    verbosity level = verbosity::normal;
    std::string failed_list;         // --failed-list FILE; empty: none
};

}  // namespace orvo::batch
