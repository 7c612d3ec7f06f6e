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
double read_number(const char* text)
{
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return strtod_l(text, nullptr, c_locale);
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
        } else if (std::strcmp(arg, "-sift") == 0) {
            p.sift = true;
            p.detector.scale *= 3;
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
    return true;
}
