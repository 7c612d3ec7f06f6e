// Parsing orvo-batch's command line into the options of a batch.
#pragma once

#include "batch/batch_options.h"

namespace orvo::batch {

enum class parse_outcome { run, help, bad };

// Parses argv[1..argc-1]. On `bad` a message and the usage text have been
// printed on standard error; on `help` the usage text on standard output.
parse_outcome parse_batch_options(int argc, char** argv, batch_options& options);

}  // namespace orvo::batch
