// Command line of the detector: banner, usage text and option parsing.
#include "app/command_line.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <locale.h>

namespace {

// strtod in the "C" locale, whatever locale the process runs in: the longest
// numeric prefix counts, no prefix reads as 0.
double read_number(const char* text, char** end = nullptr)
{
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return strtod_l(text, end, c_locale);
}

}  // namespace

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

bool parse_command_line(int argc, char** argv, command_line& p)
{
    if (argc <= 1) {
        print_usage();
        return false;
    }
    p = command_line();
    // The product in a wider type, so that its value can be named when the
    // one in double has left the range (1e-200 times 1e-200).
    long double product = 1;

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (std::strcmp(arg, "-t") == 0 && has_value) {
            p.detector.threshold = read_number(argv[++i]);
        } else if (std::strcmp(arg, "-s") == 0 && has_value) {
            const char* text = argv[++i];
            const double factor = read_number(text);
            // A zero, negative or non-finite scale would divide the ellipse
            // matrices by zero or write non-finite numbers.
            if (!(factor > 0.0) || !std::isfinite(factor)) {
                std::cerr << "Invalid scale \"" << text << "\": -s needs a positive finite number" << std::endl;
                return false;
            }
            p.detector.scale *= factor;
            product *= factor;
        } else if (std::strcmp(arg, "-sift") == 0) {
            p.sift = true;
            p.detector.scale *= 3;
            product *= 3;
        } else if (std::strcmp(arg, "-h") == 0) {
            print_usage();
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
            print_usage();
            return false;
        }
    }
    const double scale = p.detector.scale;
    if (!(product >= MIN_SCALE && product <= MAX_SCALE && scale >= MIN_SCALE && scale <= MAX_SCALE)) {
        std::cerr << "Invalid scale " << product << " (the product of the scale factors): it must lie within ["
                  << MIN_SCALE << ", " << MAX_SCALE << "]" << std::endl;
        return false;
    }
    return true;
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
