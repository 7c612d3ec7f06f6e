// Where an image's outputs go, whether they are up to date, and which
// images of a batch would write the same output.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "batch/inputs.h"
#include "batch/batch_options.h"

namespace orvo::batch {

// The files written for one image, named as `orvo` names them: IMAGE.orvo
// and IMAGE.orvo.sift, or IMAGE.txt for COLMAP. Beside the image, or under
// options.output_dir at the image's mirrored path.
std::vector<std::string> output_files(const image_entry& image, const batch_options& options);

// True when every output exists and is not older than the image.
bool outputs_up_to_date(const std::string& image, const std::vector<std::string>& outputs);

// Creates the folders the outputs go into. Returns "" or the reason it
// could not.
std::string make_output_folders(const std::vector<std::string>& outputs);

// Pairs (earlier, later) of list positions whose images would write the same
// outputs, in list order.
std::vector<std::pair<std::size_t, std::size_t>> output_clashes(const std::vector<image_entry>& images,
                                                                const batch_options& options);

// The clashes described, a line each ("A and B would write the same output
// X"; after the first few, how many more), for messages; empty when none.
std::vector<std::string> clash_messages(const std::vector<image_entry>& images, const batch_options& options);

}  // namespace orvo::batch
