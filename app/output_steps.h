// The steps after the ellipse file: drawing the ellipses over the image,
// saving the drawing as a PNG, showing it in a window, and handing the image
// and the ellipse file to the descriptor executable; and the waiting for
// child processes that the window and the descriptor step need.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "orvo/region.h"

// Name of the descriptor executable, found by command search.
constexpr const char* DESCRIPTOR_EXECUTABLE = "compute_descriptors_64bit.ln";

// Seconds a display may take to accept a connection and answer it.
constexpr double DISPLAY_ANSWER_SECONDS = 5.0;

// Reloads the image and draws the regions; saves the drawing as
// image_name + ".orvo.png" (save), then shows it in a window titled with the
// image name until a key is pressed or the window is closed (disp), with the
// window executable (see window_protocol.h), so that this process never
// loads the window libraries. The PNG is written before the window opens, so
// that a lost display never loses it. Returns false, after a message on standard error, when any of
// these could not be done. Throws std::bad_alloc when memory runs out.
bool draw_show_and_save(const std::string& image_name, const std::vector<orvo::Region>& regions, bool disp,
                        bool save);

// Runs the descriptor executable on the image and the ellipse file, its
// standard output discarded, waits for it (at most timeout_seconds when
// > 0, after which it is stopped) and prints
// "Descriptors computed in: <seconds> s " (its wall-clock time). Returns
// false, after a message on standard error, when it could not be started,
// did not end with status 0 or ran out of time.
bool compute_descriptors(const std::string& image_name, const std::string& ellipse_file_name,
                         double timeout_seconds = 0);

// How a child process ended.
struct child_end {
    bool timed_out = false;  // stopped after its time ran out
    int status = 0;          // as waitpid reports it, unless timed_out
    int error = 0;           // errno of a failed wait (the status is then unknown)
};

// Looks after one child process, from before it is started until it has
// ended: SIGINT, SIGTERM and SIGHUP are noted rather than acted on
// meanwhile (an ignored one stays ignored), passed on to the child, and once
// the child has ended this process ends by the same signal, as it would
// have without a child.
class child_watch {
public:
    child_watch();
    ~child_watch();
    child_watch(const child_watch&) = delete;
    child_watch& operator=(const child_watch&) = delete;

    // Waits for the child `pid`, at most timeout_seconds when > 0; a child
    // still running then is stopped (SIGTERM, and SIGKILL a moment later).
    child_end wait(pid_t pid, double timeout_seconds);
};
