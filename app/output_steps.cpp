// Display, saving and descriptor hand-off.
#include "app/output_steps.h"

#include <X11/Xlib.h>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <spawn.h>
#include <sys/wait.h>

#include "io/atomic_file.h"
#include "orvo/draw.h"
#include "orvo/errors.h"
#include "orvo/image.h"

extern char** environ;

namespace {

// The window library ends the process when it cannot reach a display, so
// the display is tried first.
bool display_available()
{
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    XCloseDisplay(display);
    return true;
}

bool show_until_key(const std::string& title, const cv::Mat& drawing)
{
    if (!display_available()) {
        std::cerr << "Unable to show " << title << ": no display available" << std::endl;
        return false;
    }
    try {
        cv::namedWindow(title, cv::WINDOW_AUTOSIZE);
        cv::imshow(title, drawing);
        cv::waitKey(0);
    } catch (const cv::Exception& e) {
        std::cerr << "Unable to show " << title << ": " << e.what() << std::endl;
        return false;
    }
    return true;
}

bool save_png(const std::string& file_name, const cv::Mat& drawing)
{
    std::vector<unsigned char> png;
    std::string error;
    try {
        if (!cv::imencode(".png", drawing, png)) error = "PNG encoding failed";
    } catch (const cv::Exception& e) {
        error = e.what();
    }
    if (error.empty())
        error = write_file_atomically(file_name, [&](std::FILE* fp) { std::fwrite(png.data(), 1, png.size(), fp); });
    if (error.empty()) return true;
    std::cerr << "Unable to write file " << file_name << ": " << error << std::endl;
    return false;
}

}  // namespace

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
    if (disp) ok = show_until_key(image_name, drawing) && ok;
    if (save) ok = save_png(image_name + ".orvo.png", drawing) && ok;
    return ok;
}

bool compute_descriptors(const std::string& image_name, const std::string& ellipse_file_name)
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
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) {
                failure = std::string("could not be waited for: ") + std::strerror(errno);
                break;
            }
        }
        if (failure.empty() && WIFSIGNALED(status))
            failure = std::string("was killed by signal ") + std::to_string(WTERMSIG(status));
        else if (failure.empty() && WIFEXITED(status) && WEXITSTATUS(status) != 0)
            failure = "ended with status " + std::to_string(WEXITSTATUS(status));
    }
    if (!failure.empty()) std::cerr << DESCRIPTOR_EXECUTABLE << " " << failure << std::endl;

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "Descriptors computed in: " << seconds << " s " << std::endl;
    return failure.empty();
}
