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
#include "orvo/describe.h"

namespace {

using orvo::detail::read_number;

// A whole option value as a number, or a message naming the option and the
// value on standard error and false.
bool read_value(const char* option, const char* text, double& value)
{
    char* end = nullptr;
    value = read_number(text, &end);
    if (*text != '\0' && *end == '\0' && std::isfinite(value)) return true;
    std::cerr << "Invalid value \"" << text << "\" for " << option << ": a number is needed" << std::endl;
    return false;
}

bool read_whole(const char* option, const char* text, int& value)
{
    double number = 0;
    if (!read_value(option, text, number)) return false;
    if (number == std::floor(number) && std::fabs(number) < 1e9) {
        value = static_cast<int>(number);
        return true;
    }
    std::cerr << "Invalid value \"" << text << "\" for " << option << ": a whole number is needed" << std::endl;
    return false;
}

// "11,7,5" as whole numbers.
bool read_list(const char* option, const char* text, std::vector<int>& values)
{
    values.clear();
    std::string rest = text;
    for (std::size_t comma; !rest.empty(); rest = comma == std::string::npos ? "" : rest.substr(comma + 1)) {
        comma = rest.find(',');
        int value = 0;
        if (!read_whole(option, rest.substr(0, comma).c_str(), value)) return false;
        values.push_back(value);
        if (comma == rest.size() - 1) return read_whole(option, "", value);
    }
    if (!values.empty()) return true;
    std::cerr << "Invalid value \"" << text << "\" for " << option << ": a list such as 11,7 is needed" << std::endl;
    return false;
}

using option_change = std::function<void(orvo::DetectorOptions&)>;

// The detector options beyond the classic ones that take a value, and the
// field each sets: numbers, whole numbers, and switches (1 or 0).
template <class Value>
struct field_option {
    const char* name;
    Value orvo::DetectorOptions::*field;
};
using number_option = field_option<double>;
using whole_option = field_option<int>;
using switch_option = field_option<bool>;
const number_option NUMBER_OPTIONS[] = {{"--min-area", &orvo::DetectorOptions::min_area},
                                        {"--max-area", &orvo::DetectorOptions::max_area},
                                        {"--duplicate-overlap", &orvo::DetectorOptions::duplicate_overlap},
                                        {"--pyramid-step", &orvo::DetectorOptions::pyramid_step},
                                        {"--min-radius", &orvo::DetectorOptions::min_radius}};
const whole_option WHOLE_OPTIONS[] = {{"--edge-step", &orvo::DetectorOptions::edge_step},
                                      {"--threads", &orvo::DetectorOptions::threads},
                                      {"--pyramid-levels", &orvo::DetectorOptions::pyramid_levels}};
const switch_option SWITCH_OPTIONS[] = {{"--subpixel-edges", &orvo::DetectorOptions::subpixel_edges},
                                        {"--exact-hull", &orvo::DetectorOptions::exact_hull},
                                        {"--edge-pixel-hull", &orvo::DetectorOptions::edge_pixel_hull}};
constexpr const char* EDGE_STEPS = "--edge-steps";

// Reads the value of one of those options (or of --edge-steps) into
// `changes`. Returns false, after a message, for a bad value.
bool read_detector_option(const std::string& option, const char* text, std::vector<option_change>& changes)
{
    if (option == EDGE_STEPS) {
        std::vector<int> list;
        if (!read_list(option.c_str(), text, list)) return false;
        changes.push_back([list](orvo::DetectorOptions& o) { o.edge_steps = list; });
        return true;
    }
    for (const number_option& known : NUMBER_OPTIONS) {
        double value = 0;
        if (option != known.name) continue;
        if (!read_value(known.name, text, value)) return false;
        changes.push_back([field = known.field, value](orvo::DetectorOptions& o) { o.*field = value; });
        return true;
    }
    for (const whole_option& known : WHOLE_OPTIONS) {
        int value = 0;
        if (option != known.name) continue;
        if (!read_whole(known.name, text, value)) return false;
        // A single edge step given replaces a multi-scale detection's steps.
        const bool single_step = known.field == &orvo::DetectorOptions::edge_step;
        changes.push_back([field = known.field, value, single_step](orvo::DetectorOptions& o) {
            o.*field = value;
            if (single_step) o.edge_steps.clear();
        });
        return true;
    }
    for (const switch_option& known : SWITCH_OPTIONS) {
        int value = 0;
        if (option != known.name) continue;
        if (!read_whole(known.name, text, value)) return false;
        if (value != 0 && value != 1) {
            std::cerr << "Invalid value \"" << text << "\" for " << known.name << ": 0 or 1 is needed" << std::endl;
            return false;
        }
        changes.push_back([field = known.field, value](orvo::DetectorOptions& o) { o.*field = value == 1; });
        return true;
    }
    return false;
}

}  // namespace

bool is_detector_option(const std::string& option)
{
    if (option == EDGE_STEPS) return true;
    for (const number_option& known : NUMBER_OPTIONS)
        if (option == known.name) return true;
    for (const whole_option& known : WHOLE_OPTIONS)
        if (option == known.name) return true;
    for (const switch_option& known : SWITCH_OPTIONS)
        if (option == known.name) return true;
    return false;
}

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
    std::cout << "Options beyond the classic ones:" << std::endl;
    std::cout << " --dense               : the dense preset: many more regions, for matching" << std::endl;
    std::cout << "                         (the options below still change it)" << std::endl;
    std::cout << " --edge-step N         : sample the edges every N pixels [default: 11]" << std::endl;
    std::cout << " --edge-steps N,N,...  : one pass per edge step, their regions united and" << std::endl;
    std::cout << "                         near-duplicates dropped" << std::endl;
    std::cout << " --min-area A          : smallest component area, in edge steps squared [default: 5]" << std::endl;
    std::cout << " --max-area F          : largest region, as a fraction of the image area [default: 0.2]" << std::endl;
    std::cout << " --duplicate-overlap E : with several edge steps, a region whose overlap error with" << std::endl;
    std::cout << "                         one kept before it is below E is dropped [default: 0.3]" << std::endl;
    std::cout << " --pyramid-levels N    : also detect on N - 1 reduced copies of the image, their" << std::endl;
    std::cout << "                         regions mapped back [default: 1]" << std::endl;
    std::cout << " --pyramid-step F      : the reduction from one copy to the next [default: 2]" << std::endl;
    std::cout << " --min-radius R        : drop regions of radius below R pixels (of the copy" << std::endl;
    std::cout << "                         they were found on) [default: 0]" << std::endl;
    std::cout << " --subpixel-edges 0|1  : edge points at their sub-pixel positions [default: 0]" << std::endl;
    std::cout << " --exact-hull 0|1      : ellipses from the exact hull, not its pixels [default: 0]" << std::endl;
    std::cout << " --edge-pixel-hull 0|1 : exact hulls widened to the edge pixels along them [default: 0]" << std::endl;
    std::cout << " --threads N           : detection threads [default: every core]" << std::endl;
    std::cout << std::endl;
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
            p.sift = true;
            // Described regions are grown by their preset's measurement scale:
            // 3 at the classic settings, the dense preset's own with --dense.
            changes.push_back([&product](orvo::DetectorOptions& o) {
                o.scale *= o.measurement_scale;
                product *= o.measurement_scale;
            });
        } else if (std::strcmp(arg, "-h") == 0 && classic_usage) {
            print_usage();
            print_newer_options();
            return false;
        } else if (std::strcmp(arg, "-i") == 0 && has_value) {
            p.image_name = argv[++i];
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
    p.detector.threads = static_cast<int>(std::max(1u, std::min(256u, std::thread::hardware_concurrency())));
    for (const option_change& change : changes) change(p.detector);
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
