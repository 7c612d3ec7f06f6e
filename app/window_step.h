// The window of "orvo -disp": the drawing is shown by the window
// executable (see window_protocol.h) in a child process, so that this
// process never loads the window libraries and a lost display can only end
// the child.
#pragma once

#include <opencv2/core.hpp>
#include <string>

namespace orvo::cli {

// Seconds a display may take to accept a connection and answer it.
constexpr double DISPLAY_ANSWER_SECONDS = 5.0;

// Shows the drawing in a window titled `title` until a key is pressed or the
// window is closed. Returns false, after a message on standard error, when
// no display answers within DISPLAY_ANSWER_SECONDS, the window executable
// cannot run or the display is lost. Throws std::bad_alloc when memory runs
// out.
bool show_until_key(const std::string& title, const cv::Mat& drawing);

}  // namespace orvo::cli
