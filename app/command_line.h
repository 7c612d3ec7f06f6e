// Command line of the detector: the banner, the usage text and the parser that
// turns the argument vector into the run's settings.
#pragma once

#include <string>

#include "orvo/detector.h"

// The run's settings. Only -i, -t, -s, -sift, -disp and -save change them;
// the detector's other options keep their defaults.
struct command_line {
    orvo::DetectorOptions detector;  // threshold (-t), scale (-s, and 3 for -sift)
    std::string image_name;          // input image (-i); empty: none named
    bool sift = false;               // compute SIFT descriptors (-sift)
    bool disp = false;               // show the drawing in a window (-disp)
    bool save = false;               // save the drawing as a PNG (-save)
};

void print_banner();
void print_usage();

// Parses argv[1..argc-1] into `settings`. Returns false when the run must
// stop with exit status 1: the usage text (or, for a bad -s value, a message
// on standard error) has then been printed, and with no arguments at all
// `settings` is left as it was.
bool parse_command_line(int argc, char** argv, command_line& settings);
