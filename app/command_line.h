// Command line of the detector: the banner, the usage text and the parser that
// turns the argument vector into the run's parameters.
#pragma once

#include <cstdint>
#include <string>

// The run configuration. Only -i, -t, -s, -sift, -disp and -save change it;
// every other field holds the fixed value the parser gives it.
struct parameters {
    double threshold = 100.0;       // selection threshold (-t)
    double min_area_growth = 0.1;   // a father must exceed its son by this fraction
    std::string image_name;         // input image (-i); empty: none named
    std::uint64_t step = 11;        // edge-sampling step in pixels
    double image_area = 0.0;        // width x height, written by the edge-point input
    double scale = 1.0;             // factor applied to the ellipses (-s, -sift)
    int sift = 0;                   // 1: compute SIFT descriptors (-sift)
    double min_sz = 5.0;            // smallest component area, in step^2
    double max_sz = 0.2;            // largest component area, fraction of image_area
    bool disp = false;              // show the drawing in a window (-disp)
    bool save = false;              // save the drawing as a PNG (-save)
};

void print_info_PUBLIC();
void print_help_public();

// Parses argv[1..argc-1] into p. Returns false when the run must stop with
// exit status 1: the usage text (or, for a bad -s value, a message on
// standard error) has then been printed.
bool get_exec_params_public(int argc, char** argv, parameters& p);
