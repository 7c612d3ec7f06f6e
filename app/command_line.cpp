// Command line of the detector: banner, usage text and option parsing.
#include "app/command_line.h"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "library/number_text.h"
#include "library/option_table.h"
#include "orvo/describe.h"

namespace orvo::cli {

namespace {

using orvo::detail::read_number;

// An option of the detector's table given on the command line: its value
// read into a copy of the options, applied when the preset is known.
using option_change = std::function<void(orvo::DetectorOptions&)>;

// Reads the value of the detector option `flag` into `changes`. Returns
// false, after a message, for a value that cannot be read.
bool read_detector_option(const std::string& flag, const char* text, std::vector<option_change>& changes)
{
    const orvo::detail::detector_option& option = *orvo::detail::find_detector_flag(flag);
    orvo::DetectorOptions read;
    const std::string problem = orvo::detail::set_option_text(option, text, read);
    if (!problem.empty()) {
        std::cerr << problem << std::endl;
        return false;
    }
    changes.push_back([&option, read](orvo::DetectorOptions& o) {
        std::visit([&](auto member) { o.*member = read.*member; }, option.field);
        orvo::detail::apply_replacement(option, o);
    });
    return true;
}

}  // namespace

bool is_detector_option(const std::string& option) { return orvo::detail::find_detector_flag(option) != nullptr; }

void print_banner()
{
    std::cout << std::endl;
    std::cout << "Orvo: Orvo Region Detector" << std::endl;
    std::cout << "Regions enclosed by image edges, from weighted alpha shapes of Canny edge points" << std::endl;
    std::cout << std::endl;
}

void print_usage()
{
    std::cout << "Usage: Orvo -i image_filename [-sift] [options]" << std::endl;
    std::cout << std::endl;
    std::cout << " -i image_filename : image filename to extract features" << std::endl;
    std::cout << " -sift             : compute sift descriptors using Zelqar's executable," << std::endl;
    std::cout << "                     which has to be in the same folder as Orvo detector, " << std::endl;
    std::cout << "                     under the name \"compute_descriptors_64bit.ln\"" << std::endl;
    std::cout << std::endl;
    std::cout << "Options:" << std::endl;
    std::cout << " -t threshold      : apply threshold to feature selection [default: 100]" << std::endl;
    std::cout << " -s scale          : scale extracted features" << std::endl;
    std::cout << "                     (when computing descriptors, features are scaled by a factor 3)" << std::endl;
    std::cout << " -disp             : draw extracted features as ellipses and view in screen" << std::endl;
    std::cout << " -save             : draw extracted features as ellipses and save in image_filename.orvo.png" << std::endl;
    std::cout << " -h                : display this help message" << std::endl;
    std::cout << std::endl;
}

void print_newer_options()
{
    orvo::DetectorOptions defaults;
    defaults.threads = default_threads();
    std::cout << "Options beyond the classic ones:" << std::endl;
    std::cout << " --dense                : the dense preset: many more regions, for matching (the" << std::endl;
    std::cout << "                          options below, given after it or not, still change it)" << std::endl;
    std::cout << " --html FILE            : also write the inspector's page of the regions (one" << std::endl;
    std::cout << "                          self-contained HTML file)" << std::endl;
    std::cout << orvo::detail::help_lines(orvo::detail::detector_option_table(), defaults) << std::endl;
}

int default_threads()
{
    return static_cast<int>(std::max(1u, std::min(256u, std::thread::hardware_concurrency())));
}

namespace {

// parse_command_line, printing the classic usage text for a rejected
// argument when `classic_usage`, a message naming it otherwise.
bool parse_arguments(int argc, char** argv, command_line& p, bool classic_usage)
{
    p = command_line();
    // The product in a wider type, so that its value can be named when the
    // one in double has left the range (1e-200 times 1e-200).
    long double product = 1;
    // The detector's options are set from the preset (--dense) and then
    // these changes, in the order given.
    bool dense = false;
    std::vector<option_change> changes;
    int sift_count = 0;
    double measurement = 1;

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (has_value && is_detector_option(arg)) {
            if (!read_detector_option(arg, argv[++i], changes)) return false;
        } else if (std::strcmp(arg, "--dense") == 0) {
            dense = true;
        } else if (std::strcmp(arg, "-t") == 0 && has_value) {
            const double threshold = read_number(argv[++i]);
            changes.push_back([threshold](orvo::DetectorOptions& o) { o.threshold = threshold; });
        } else if (std::strcmp(arg, "-s") == 0 && has_value) {
            const char* text = argv[++i];
            const double factor = read_number(text);
            // A zero, negative or non-finite scale would divide the ellipse
            // matrices by zero or write non-finite numbers.
            if (!(factor > 0.0) || !std::isfinite(factor)) {
                std::cerr << "Invalid scale \"" << text << "\": -s needs a positive finite number" << std::endl;
                return false;
            }
            changes.push_back([factor](orvo::DetectorOptions& o) { o.scale *= factor; });
            product *= factor;
        } else if (std::strcmp(arg, "-sift") == 0) {
            // Each -sift grows the regions by their measurement scale: the
            // preset's, or the one given (before or after it).
            p.sift = true;
            ++sift_count;
            changes.push_back([&measurement](orvo::DetectorOptions& o) { o.scale *= measurement; });
        } else if (std::strcmp(arg, "-h") == 0 && classic_usage) {
            print_usage();
            print_newer_options();
            return false;
        } else if (std::strcmp(arg, "-i") == 0 && has_value) {
            p.image_name = argv[++i];
        } else if (std::strcmp(arg, "--html") == 0 && has_value) {
            p.html = argv[++i];
        } else if (std::strcmp(arg, "-save") == 0) {
            p.save = true;
        } else if (std::strcmp(arg, "-disp") == 0) {
            p.disp = true;
        } else {
            // Unknown arguments, bare file names and a value-taking option
            // with no value left.
            if (classic_usage)
                print_usage();
            else
                std::cerr << "Unknown detector option or missing value: " << arg << std::endl;
            return false;
        }
    }
    p.detector = dense ? orvo::DetectorOptions::dense() : orvo::DetectorOptions();
    // Every core by default: the regions do not depend on it.
    p.detector.threads = default_threads();
    orvo::DetectorOptions final_options = p.detector;
    for (const option_change& change : changes) change(final_options);
    measurement = final_options.measurement_scale;
    for (const option_change& change : changes) change(p.detector);
    for (int k = 0; k < sift_count; ++k) product *= measurement;
    const double scale = p.detector.scale;
    if (!(product >= MIN_SCALE && product <= MAX_SCALE && scale >= MIN_SCALE && scale <= MAX_SCALE)) {
        std::cerr << "Invalid scale " << product << " (the product of the scale factors): it must lie within ["
                  << MIN_SCALE << ", " << MAX_SCALE << "]" << std::endl;
        return false;
    }
    try {
        p.detector.validate();
    } catch (const std::invalid_argument& e) {
        std::cerr << e.what() << std::endl;
        return false;
    }
    return true;
}

}  // namespace

bool parse_command_line(int argc, char** argv, command_line& p)
{
    if (argc <= 1) {
        print_usage();
        return false;
    }
    return parse_arguments(argc, argv, p, true);
}

bool parse_detector_options(int argc, char** argv, command_line& p)
{
    return parse_arguments(argc, argv, p, false);
}

bool read_environment(command_line& p)
{
    const char* text = std::getenv("ORVO_DESCRIPTOR_TIMEOUT");
    if (text == nullptr || *text == '\0') return true;
    char* end = nullptr;
    const double seconds = read_number(text, &end);
    if (*end != '\0' || !(seconds > 0) || !std::isfinite(seconds)) {
        std::cerr << "Invalid ORVO_DESCRIPTOR_TIMEOUT \"" << text << "\": a number of seconds greater than 0 is needed"
                  << std::endl;
        return false;
    }
    p.descriptor_timeout = seconds;
    return true;
}

}  // namespace orvo::cli
