// The drawing of "orvo -save" and "orvo -disp": the regions drawn over the
// image, saved as a PNG and shown in a window.
#pragma once

#include <string>
#include <vector>

#include "orvo/region.h"

namespace orvo::cli {

// Reloads the image and draws the regions; saves the drawing as
// image_name + ".orvo.png" (save), then shows it in a window titled with the
// image name until a key is pressed or the window is closed (disp). The PNG
// is written before the window opens, so that a lost display never loses it.
// Returns false, after a message on standard error, when any of these could
// not be done. Throws std::bad_alloc when memory runs out.
bool draw_show_and_save(const std::string& image_name, const std::vector<orvo::Region>& regions, bool disp,
                        bool save);

}  // namespace orvo::cli
