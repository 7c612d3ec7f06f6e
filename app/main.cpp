// orvo: the detector's command line. Parses the arguments, reads the image,
// detects its regions under a user-CPU-time stopwatch, writes the ellipse
// file, then the optional drawing, PNG, window, descriptors and the
// inspector's page (--html).
//
// Exit status: 0 after a completed run; 1 when the command line (or
// ORVO_DESCRIPTOR_TIMEOUT) is rejected, when the scale leaves an ellipse
// that cannot be written, when memory runs out, or when the run fails
// otherwise (a message says why); 2 when an output step failed (ellipse
// file, drawing, PNG, window, descriptors, or the descriptor step's time
// limit); 255 when no image is named or it cannot be read. An
// interrupting signal ends the run as it would any process, after ending a
// running descriptor step or window.
#include <iostream>
#include <opencv2/core.hpp>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "app/command_line.h"
#include "app/descriptor_step.h"
#include "app/drawing_step.h"
#include "app/inspector_page.h"
#include "app/output_paths.h"
#include "app/program.h"
#include "io/atomic_file.h"
#include "orvo/orvo.h"

namespace orvo::cli {

namespace {

// User CPU time of the process so far, in seconds.
double user_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec) + 1e-6 * static_cast<double>(usage.ru_utime.tv_usec);
}

// The ellipse file's centres are the 0-based ones plus 2; the drawing is
// placed at the 0-based centre plus 1.
constexpr double DRAWING_OFFSET = 1.0;

// Writes the inspector's page of the regions to settings.html; false after a
// message when it cannot be written.
bool write_region_page(const command_line& settings, const cv::Mat& image, const std::vector<orvo::Region>& regions)
{
    std::string error;
    try {
        const std::vector<std::string> pictures = {jpeg_data_uri(image)};
        error = orvo::detail::write_file_atomically(settings.html, [&](std::FILE* fp) {
            write_inspector_page(fp, [&](std::FILE* data) {
                write_region_data(data, settings.image_name, image.size(), settings.detector.measurement_scale,
                                  regions);
            }, pictures);
        });
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    if (error.empty()) return true;
    std::cerr << "Unable to write file " << settings.html << ": " << error << std::endl;
    return false;
}

int run(int argc, char** argv)
{
    const double start = user_seconds();
    cv::setNumThreads(0);  // one thread: the image library's stages too

    print_banner();
    command_line settings;
    if (!parse_command_line(argc, argv, settings)) return 1;
    if (settings.sift && !read_environment(settings)) return 1;
    if (settings.image_name.empty()) {
        std::cerr << "unable to open file for input" << std::endl;
        return 255;
    }
    const std::string& name = settings.image_name;
    const std::string clash = output_clash({{"--html", settings.html}}, {{"the image", name},
                                                                       {"the ellipse file", name + ".orvo"},
                                                                       {"the drawing", name + ".orvo.png"},
                                                                       {"the descriptors", name + ".orvo.sift"}});
    if (!clash.empty()) {
        std::cerr << clash << ": nothing done: give the page its own file" << std::endl;
        return 1;
    }

    cv::Mat image;
    try {
        image = orvo::read_image(settings.image_name);
    } catch (const orvo::ImageError& e) {
        std::cout << settings.image_name << ": file not found." << std::endl;
        if (e.kind() != orvo::ImageError::Kind::Unreadable) std::cerr << e.what() << std::endl;
        return 255;
    }
    std::cout << settings.image_name << ": ";
    std::vector<orvo::Region> regions;
    try {
        regions = orvo::detect(image, settings.detector);
    } catch (const std::invalid_argument& e) {
        std::cerr << "Invalid scale " << settings.detector.scale << ": " << e.what() << "; nothing written" << std::endl;
        return 1;
    }
    if (settings.html.empty()) image.release();
    std::cout << "Alpha features extracted in: " << user_seconds() - start << " s " << std::endl;

    const std::string unwritable = orvo::unwritable_reason(regions);
    if (!unwritable.empty()) {
        std::cerr << "Invalid scale " << settings.detector.scale << ": " << unwritable << "; nothing written"
                  << std::endl;
        return 1;
    }

    const std::string ellipse_file_name = settings.image_name + ".orvo";
    bool ellipses_written = true;
    try {
        orvo::write_region_file(ellipse_file_name, regions);
    } catch (const orvo::RegionFileError& e) {
        std::cerr << "Unable to write file " << e.what() << std::endl;
        ellipses_written = false;
    }

    bool outputs_ok = ellipses_written;
    if (settings.save || settings.disp) {
        std::vector<orvo::Region> drawn = regions;
        for (orvo::Region& r : drawn) r.x += DRAWING_OFFSET, r.y += DRAWING_OFFSET;
        outputs_ok = draw_show_and_save(settings.image_name, drawn, settings.disp, settings.save) && outputs_ok;
    }
    if (settings.sift && !ellipses_written)
        std::cerr << "Descriptors not computed: " << ellipse_file_name << " was not written" << std::endl;
    else if (settings.sift)
        outputs_ok = compute_descriptors(settings.image_name, ellipse_file_name, settings.descriptor_timeout) && outputs_ok;
    if (!settings.html.empty()) outputs_ok = write_region_page(settings, image, regions) && outputs_ok;
    return outputs_ok ? 0 : 2;
}

}  // namespace

}  // namespace orvo::cli

using namespace orvo::cli;

int main(int argc, char** argv)
{
    run_program("orvo", run, argc, argv, 1);
}
