// The record of the options an output folder's files were made with, so
// that a run with other options does not silently keep outputs made with the
// old ones: MANIFEST_NAME in the output folder (-o), or, with the outputs
// beside the images, in every folder of images.
#pragma once

#include <string>
#include <vector>

#include "batch/inputs.h"
#include "batch/batch_options.h"

namespace orvo::batch {

constexpr const char* MANIFEST_NAME = ".orvo-batch-options";

// The options that shape the outputs, one "name value" a line.
std::string manifest_text(const batch_options& options);

// Why the outputs of `images` may not be made with `options` ("" when they
// may): a folder's record names other options (listed, old and new). With
// options.force always "".
std::string manifest_conflict(const std::vector<image_entry>& images, const batch_options& options);

// Records `options` in every folder of the outputs of `images` whose record
// differs (creating the output folder). Returns "" or the reason it could
// not.
std::string record_manifests(const std::vector<image_entry>& images, const batch_options& options);

}  // namespace orvo::batch
