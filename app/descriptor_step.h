// The descriptor step of "orvo -sift": the image and the ellipse file handed
// to the descriptor executable, run as a child process.
#pragma once

#include <string>

namespace orvo::cli {

// Name of the descriptor executable, found by command search.
constexpr const char* DESCRIPTOR_EXECUTABLE = "compute_descriptors_64bit.ln";

// Runs the descriptor executable on the image and the ellipse file, its
// standard output discarded, waits for it (at most timeout_seconds when
// > 0, after which it is stopped) and prints
// "Descriptors computed in: <seconds> s " (its wall-clock time). Returns
// false, after a message on standard error, when it could not be started,
// did not end with status 0 or ran out of time.
bool compute_descriptors(const std::string& image_name, const std::string& ellipse_file_name,
                         double timeout_seconds = 0);

}  // namespace orvo::cli
