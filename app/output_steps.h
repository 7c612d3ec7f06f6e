// The steps after the ellipse file: drawing the ellipses over the image,
// showing the drawing in a window, saving it as a PNG, and handing the image
// and the ellipse file to the descriptor executable.
#pragma once

#include <string>
#include <vector>

#include "orvo/region.h"

// Name of the descriptor executable, found by command search.
constexpr const char* DESCRIPTOR_EXECUTABLE = "compute_descriptors_64bit.ln";

// Reloads the image, draws the regions, shows the drawing in a window titled
// with the image name until a key is pressed (disp), then saves it as
// image_name + ".orvo.png" (save). Returns false, after a message on
// standard error, when any of these could not be done.
bool draw_show_and_save(const std::string& image_name, const std::vector<orvo::Region>& regions, bool disp,
                        bool save);

// Runs the descriptor executable on the image and the ellipse file, its
// standard output discarded, waits for it and prints
// "Descriptors computed in: <seconds> s " (its wall-clock time). Returns
// false, after a message on standard error, when it could not be started or
// did not end with status 0.
bool compute_descriptors(const std::string& image_name, const std::string& ellipse_file_name);
