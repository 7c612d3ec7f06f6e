// Drawing, saving, the window (in a child process, which a lost display can
// only end) and the descriptor hand-off; and the watch over child processes.
#include "app/output_steps.h"

#include <X11/Xlib.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <new>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "io/atomic_file.h"
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

// A child process that only computes: the signal actions of the parent's
// watch are undone.
pid_t fork_child()
{
    std::cout.flush();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0 && errno == ENOMEM) throw std::bad_alloc();
    if (pid == 0) restore_signal_actions();
    return pid;
}

enum class display_state { available, missing, silent };

// Whether a display accepts a connection and answers within
// DISPLAY_ANSWER_SECONDS; tried in a child process, so that a display that
// never answers cannot hold this one.
display_state probe_display()
{
    child_watch watch;
    const pid_t pid = fork_child();
    if (pid == 0) _exit(XOpenDisplay(nullptr) != nullptr ? 0 : 1);
    if (pid < 0) return display_state::missing;
    const child_end end = watch.wait(pid, DISPLAY_ANSWER_SECONDS);
    if (end.timed_out) return display_state::silent;
    return WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0 ? display_state::available : display_state::missing;
}

// Exit statuses of the window's child process; any other end means the
// display went away.
constexpr int WINDOW_DONE = 0, WINDOW_FAILED = 2, WINDOW_OUT_OF_MEMORY = 3;

// In the child: shows the drawing until a key is pressed or the window is
// closed (which counts as the key).
[[noreturn]] void show_in_child(const std::string& title, const cv::Mat& drawing)
{
    int status = WINDOW_DONE;
    try {
        cv::namedWindow(title, cv::WINDOW_AUTOSIZE);
        cv::imshow(title, drawing);
        while (cv::waitKey(50) < 0 && cv::getWindowProperty(title, cv::WND_PROP_VISIBLE) > 0) {
        }
    } catch (const cv::Exception& e) {
        status = e.code == cv::Error::StsNoMem ? WINDOW_OUT_OF_MEMORY : WINDOW_FAILED;
        if (status == WINDOW_FAILED) std::cerr << "Unable to show " << title << ": " << e.what() << std::endl;
    } catch (const std::bad_alloc&) {
        status = WINDOW_OUT_OF_MEMORY;
    }
    _exit(status);
}

bool show_until_key(const std::string& title, const cv::Mat& drawing)
{
    const display_state display = probe_display();
    if (display != display_state::available) {
        std::cerr << "Unable to show " << title << ": "
                  << (display == display_state::missing ? "no display available"
                                                        : "the display did not answer within " +
                                                              std::to_string(static_cast<int>(DISPLAY_ANSWER_SECONDS)) + " s")
                  << std::endl;
        return false;
    }
    child_watch watch;
    const pid_t pid = fork_child();
    if (pid == 0) show_in_child(title, drawing);
    if (pid < 0) {
        std::cerr << "Unable to show " << title << ": " << std::strerror(errno) << std::endl;
        return false;
    }
    const child_end end = watch.wait(pid, 0);
    const int status = WIFEXITED(end.status) ? WEXITSTATUS(end.status) : -1;
    if (end.error == 0 && status == WINDOW_DONE) return true;
    if (end.error == 0 && status == WINDOW_OUT_OF_MEMORY) throw std::bad_alloc();
    if (end.error != 0 || status != WINDOW_FAILED)
        std::cerr << "Unable to show " << title << ": the connection to the display was lost" << std::endl;
    return false;
}

bool save_png(const std::string& file_name, const cv::Mat& drawing)
{
    std::vector<unsigned char> png;
    std::string error;
    try {
        if (!cv::imencode(".png", drawing, png)) error = "PNG encoding failed";
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) throw std::bad_alloc();
        error = e.what();
    }
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
    const std::string sift_file_name = ellipse_file_name + ".sift";
    std::vector<std::string> args = {DESCRIPTOR_EXECUTABLE, "-i",  image_name, "-sift", "-p1",
                                     ellipse_file_name,     "-o1", sift_file_name};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    // Started directly, never through a shell: every name reaches the
    // executable as one argument, whatever characters it holds.
    child_watch watch;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawn_error = posix_spawnp(&pid, DESCRIPTOR_EXECUTABLE, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);

    std::string failure;
    if (spawn_error != 0) {
        failure = std::string("could not be started: ") + std::strerror(spawn_error);
    } else {
        const child_end end = watch.wait(pid, timeout_seconds);
        if (end.timed_out) {
            std::ostringstream limit;
            limit << timeout_seconds;
            failure = "was stopped after " + limit.str() + " s (ORVO_DESCRIPTOR_TIMEOUT)";
        } else if (end.error != 0) {
            failure = std::string("could not be waited for: ") + std::strerror(end.error);
        } else if (WIFSIGNALED(end.status)) {
            failure = std::string("was killed by signal ") + std::to_string(WTERMSIG(end.status));
        } else if (WIFEXITED(end.status) && WEXITSTATUS(end.status) != 0) {
            failure = "ended with status " + std::to_string(WEXITSTATUS(end.status));
        }
    }
    if (!failure.empty()) std::cerr << DESCRIPTOR_EXECUTABLE << " " << failure << std::endl;

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "Descriptors computed in: " << seconds << " s " << std::endl;
    return failure.empty();
}
