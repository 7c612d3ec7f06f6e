// orvo-window: the window "orvo -disp" shows its drawing in, and the check
// that a display answers. A separate executable, so that orvo itself never
// loads the window and display libraries (and the codec libraries they
// bring along); the commands and exit statuses are in window_protocol.h.
#include <X11/Xlib.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <opencv2/highgui.hpp>
#include <string>
#include <unistd.h>

#include "app/window_protocol.h"
#include "io/full_transfer.h"

namespace orvo::cli {

namespace {

// A positive image side given on the command line; 0 when it is not one.
int parse_side(const char* text)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value > 0 && value <= 1L << 30 ? static_cast<int>(value) : 0;
}

int show(int width, int height, const std::string& title)
{
    try {
        cv::Mat drawing(height, width, CV_8UC3);
        if (!orvo::detail::read_fully(0, drawing.data, drawing.total() * drawing.elemSize())) {
            std::cerr << "Unable to show " << title << ": the drawing arrived incomplete" << std::endl;
            return WINDOW_FAILED;
        }
        cv::namedWindow(title, cv::WINDOW_AUTOSIZE);
        cv::imshow(title, drawing);
        while (cv::waitKey(50) < 0 && cv::getWindowProperty(title, cv::WND_PROP_VISIBLE) > 0) {
        }
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) return WINDOW_OUT_OF_MEMORY;
        std::cerr << "Unable to show " << title << ": " << e.what() << std::endl;
        return WINDOW_FAILED;
    } catch (const std::bad_alloc&) {
        return WINDOW_OUT_OF_MEMORY;
    }
    return WINDOW_DONE;
}

int run(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "probe") == 0) {
        Display* display = XOpenDisplay(nullptr);
        if (display == nullptr) return WINDOW_NO_DISPLAY;
        XCloseDisplay(display);
        return WINDOW_DONE;
    }
    if (argc == 5 && std::strcmp(argv[1], "show") == 0 && parse_side(argv[2]) > 0 && parse_side(argv[3]) > 0)
        return show(parse_side(argv[2]), parse_side(argv[3]), argv[4]);
    std::cerr << "Usage: " << WINDOW_EXECUTABLE << " probe | show WIDTH HEIGHT TITLE (the pixels on standard input)"
              << std::endl;
    return WINDOW_FAILED;
}

}  // namespace

// Ended without the loaded libraries' exit code: the window library's
// teardown is not needed, and a threaded numeric library's can hang under
// an address-space limit.

}  // namespace orvo::cli

using namespace orvo::cli;

int main(int argc, char** argv)
{
    const int status = run(argc, argv);
    std::cerr.flush();
    _exit(status);
}
