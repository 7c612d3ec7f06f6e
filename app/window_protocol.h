// How orvo and its window executable talk: the executable's name, its two
// commands, and its exit statuses.
//
//   orvo-window probe
//       ends with WINDOW_DONE when a display accepts a connection (and so
//       answers), with WINDOW_NO_DISPLAY when none does.
//   orvo-window show WIDTH HEIGHT TITLE
//       reads WIDTH x HEIGHT 8-bit blue-green-red pixels, row after row,
//       from standard input and shows them in a window titled TITLE until a
//       key is pressed or the window is closed (which counts as the key).
//       Ends with WINDOW_DONE, WINDOW_FAILED after a message on standard
//       error, or WINDOW_OUT_OF_MEMORY; any other end (the display libraries
//       end the process when the connection is lost) means the display went
//       away.
#pragma once

namespace orvo::cli {

// Looked for beside the running orvo, else by command search.
constexpr const char* WINDOW_EXECUTABLE = "orvo-window";

constexpr int WINDOW_DONE = 0, WINDOW_NO_DISPLAY = 1, WINDOW_FAILED = 2, WINDOW_OUT_OF_MEMORY = 3;

}  // namespace orvo::cli
