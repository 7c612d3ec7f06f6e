// Showing a drawing through the window executable: the display probe, the
// drawing handed over in an anonymous memory file, the wait for the key.
#include "app/window_step.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>
#include <new>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/child_process.h"
#include "app/window_protocol.h"
#include "io/full_transfer.h"

namespace orvo::cli {

namespace {

// The window executable: the one beside the running orvo, else the one
// command search finds.
std::string window_executable()
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        const std::string path(self, static_cast<std::size_t>(length));
        const std::string beside = path.substr(0, path.rfind('/') + 1) + WINDOW_EXECUTABLE;
        if (access(beside.c_str(), X_OK) == 0) return beside;
    }
    return WINDOW_EXECUTABLE;
}

// Why the window executable could not be started; throws std::bad_alloc
// when memory ran out.
std::string window_not_started(int error)
{
    if (error == ENOMEM) throw std::bad_alloc();
    return std::string(WINDOW_EXECUTABLE) + " could not be started: " + std::strerror(error);
}

// Why the window cannot be shown ("" when it can): the window executable
// cannot run, or no display accepts a connection and answers within
// DISPLAY_ANSWER_SECONDS (tried by the window executable, which a display
// that never answers cannot hold this process with).
std::string display_failure(const std::string& window_program)
{
    child_watch watch;
    pid_t pid = 0;
    const int error = spawn({window_program, "probe"}, -1, false, pid);
    if (error != 0) return window_not_started(error);
    const child_end end = watch.wait(pid, DISPLAY_ANSWER_SECONDS);
    if (end.timed_out)
        return "the display did not answer within " + std::to_string(static_cast<int>(DISPLAY_ANSWER_SECONDS)) + " s";
    if (end.error == 0 && WIFEXITED(end.status) && WEXITSTATUS(end.status) == WINDOW_NO_DISPLAY)
        return "no display available";
    const std::string unsuccessful = unsuccessful_end(end);
    return unsuccessful.empty() ? "" : WINDOW_EXECUTABLE + (" " + unsuccessful);
}

// An anonymous memory file holding the drawing's pixels row after row, read
// from its start: the window's standard input, which the window can read at
// its own pace. -1, with errno set, when it could not be made.
int drawing_file(const cv::Mat& drawing)
{
    const int fd = memfd_create("orvo-drawing", MFD_CLOEXEC);
    if (fd < 0) return -1;
    const std::size_t row_size = static_cast<std::size_t>(drawing.cols) * drawing.elemSize();
    bool written = true;
    for (int y = 0; y < drawing.rows && written; ++y) written = orvo::detail::write_fully(fd, drawing.ptr(y), row_size);
    if (written && lseek(fd, 0, SEEK_SET) == 0) return fd;
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
}

bool report_window_failure(const std::string& title, const std::string& reason)
{
    std::cerr << "Unable to show " << title << ": " << reason << std::endl;
    return false;
}

// Shows the drawing with the window executable until a key is pressed or
// the window is closed.
bool show_in_window(const std::string& window_program, const std::string& title, const cv::Mat& drawing)
{
    const int input = drawing_file(drawing);
    if (input < 0 && errno == ENOMEM) throw std::bad_alloc();
    if (input < 0) return report_window_failure(title, std::strerror(errno));
    child_watch watch;
    pid_t pid = 0;
    const int error = spawn({window_program, "show", std::to_string(drawing.cols), std::to_string(drawing.rows), title},
                            input, false, pid);
    close(input);
    if (error != 0) return report_window_failure(title, window_not_started(error));
    const child_end end = watch.wait(pid, 0);
    const int status = WIFEXITED(end.status) ? WEXITSTATUS(end.status) : -1;
    if (end.error == 0 && status == WINDOW_DONE) return true;
    if (end.error == 0 && status == WINDOW_OUT_OF_MEMORY) throw std::bad_alloc();
    if (end.error == 0 && status == WINDOW_FAILED) return false;  // the window has said why
    return report_window_failure(title, "the connection to the display was lost");
}

}  // namespace

bool show_until_key(const std::string& title, const cv::Mat& drawing)
{
    const std::string window_program = window_executable();
    const std::string failure = display_failure(window_program);
    return failure.empty() ? show_in_window(window_program, title, drawing) : report_window_failure(title, failure);
}

}  // namespace orvo::cli
