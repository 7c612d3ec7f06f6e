// Drawing, saving, the window (in a child process running the window
// executable, which a lost display can only end) and the descriptor
// hand-off; and the watch over child processes.
#include "app/output_steps.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <new>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/window_protocol.h"
#include "io/atomic_file.h"
#include "io/full_transfer.h"
#include "io/png_encoder.h"
#include "orvo/draw.h"
#include "orvo/errors.h"
#include "orvo/image.h"

extern char** environ;

namespace {

constexpr int INTERRUPTING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int SIGNAL_COUNT = 3;
struct sigaction saved_actions[SIGNAL_COUNT];
volatile std::sig_atomic_t noted_signal = 0;

extern "C" void note_signal(int signal_number)
{
    noted_signal = signal_number;
}

void restore_signal_actions()
{
    for (int i = 0; i < SIGNAL_COUNT; ++i) sigaction(INTERRUPTING_SIGNALS[i], &saved_actions[i], nullptr);
}

// Ends the process by the noted signal, as its own action does.
[[noreturn]] void end_by_noted_signal()
{
    const int signal_number = noted_signal;
    restore_signal_actions();
    std::raise(signal_number);
    _exit(128 + signal_number);  // the signal's action did not end the process
}

// Sends `signal_number` to the child, and SIGKILL when it is still running
// two seconds later; reaps it.
void stop_child(pid_t pid, int signal_number)
{
    kill(pid, signal_number);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Starts `args` (the program, by path or by command search, and its
// arguments) directly, never through a shell, with standard input from
// `input` when it is >= 0 and standard output discarded when
// `discard_output`. Returns 0, or the error number of a failed start.
int spawn(std::vector<std::string> args, int input, bool discard_output, pid_t& pid)
{
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input >= 0) posix_spawn_file_actions_adddup2(&actions, input, 0);
    if (discard_output) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::cout.flush();
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

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

// How a child that was not stopped ended, unless with status 0 ("" then).
std::string unsuccessful_end(const child_end& end)
{
    if (end.error != 0) return std::string("could not be waited for: ") + std::strerror(end.error);
    if (WIFSIGNALED(end.status)) return "was killed by signal " + std::to_string(WTERMSIG(end.status));
    if (WIFEXITED(end.status) && WEXITSTATUS(end.status) != 0)
        return "ended with status " + std::to_string(WEXITSTATUS(end.status));
    return "";
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
    for (int y = 0; y < drawing.rows && written; ++y) written = write_fully(fd, drawing.ptr(y), row_size);
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

bool show_until_key(const std::string& title, const cv::Mat& drawing)
{
    const std::string window_program = window_executable();
    const std::string failure = display_failure(window_program);
    return failure.empty() ? show_in_window(window_program, title, drawing) : report_window_failure(title, failure);
}

bool save_png(const std::string& file_name, const cv::Mat& drawing)
{
    std::vector<unsigned char> png;
    std::string error = encode_png(drawing, png);
    if (error.empty())
        error = write_file_atomically(file_name, [&](std::FILE* fp) { std::fwrite(png.data(), 1, png.size(), fp); });
    if (error.empty()) return true;
    std::cerr << "Unable to write file " << file_name << ": " << error << std::endl;
    return false;
}

}  // namespace

child_watch::child_watch()
{
    noted_signal = 0;
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < SIGNAL_COUNT; ++i) {
        sigaction(INTERRUPTING_SIGNALS[i], &action, &saved_actions[i]);
        if (saved_actions[i].sa_handler == SIG_IGN) sigaction(INTERRUPTING_SIGNALS[i], &saved_actions[i], nullptr);
    }
}

child_watch::~child_watch()
{
    if (noted_signal != 0) end_by_noted_signal();
    restore_signal_actions();
}

child_end child_watch::wait(pid_t pid, double timeout_seconds)
{
    const auto start = std::chrono::steady_clock::now();
    auto pause = std::chrono::milliseconds(1);
    child_end end;
    for (;;) {
        const pid_t done = waitpid(pid, &end.status, WNOHANG);
        if (done == pid) return end;
        if (done < 0 && errno != EINTR) {
            end.error = errno;
            return end;
        }
        if (noted_signal != 0) {
            stop_child(pid, noted_signal);
            end_by_noted_signal();
        }
        if (timeout_seconds > 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= timeout_seconds) {
            stop_child(pid, SIGTERM);
            end.timed_out = true;
            return end;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

bool draw_show_and_save(const std::string& image_name, const std::vector<orvo::Region>& regions, bool disp,
                        bool save)
{
    cv::Mat drawing;
    try {
        drawing = orvo::read_image(image_name);
    } catch (const orvo::ImageError&) {
        std::cerr << "Unable to read " << image_name << " again: nothing drawn" << std::endl;
        return false;
    }
    if (drawing.channels() == 1) cv::cvtColor(drawing, drawing, cv::COLOR_GRAY2BGR);
    orvo::draw(drawing, regions);
    bool ok = true;
    if (save) ok = save_png(image_name + ".orvo.png", drawing) && ok;
    if (disp) ok = show_until_key(image_name, drawing) && ok;
    return ok;
}

bool compute_descriptors(const std::string& image_name, const std::string& ellipse_file_name, double timeout_seconds)
{
    const auto start = std::chrono::steady_clock::now();
    child_watch watch;
    pid_t pid = 0;
    const int spawn_error = spawn({DESCRIPTOR_EXECUTABLE, "-i", image_name, "-sift", "-p1", ellipse_file_name, "-o1",
                                   ellipse_file_name + ".sift"},
                                  -1, true, pid);

    std::string failure;
    if (spawn_error != 0) {
        failure = std::string("could not be started: ") + std::strerror(spawn_error);
    } else {
        const child_end end = watch.wait(pid, timeout_seconds);
        if (end.timed_out) {
            std::ostringstream limit;
            limit << timeout_seconds;
            failure = "was stopped after " + limit.str() + " s (ORVO_DESCRIPTOR_TIMEOUT)";
        } else {
            failure = unsuccessful_end(end);
        }
    }
    if (!failure.empty()) std::cerr << DESCRIPTOR_EXECUTABLE << " " << failure << std::endl;

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "Descriptors computed in: " << seconds << " s " << std::endl;
    return failure.empty();
}
