// Command line of the detector: the banner, the usage text and the parser that
// turns the argument vector into the run's settings.
#pragma once

#include <string>

#include "orvo/detector.h"

namespace orvo::cli {

// The run's settings: the classic options -i, -t, -s, -sift, -disp and
// -save, and the detector options beyond them: --dense (the dense preset,
// the others then change it), one flag per option of the detector's table
// (--edge-step N, --min-area A, ...; --threads N defaults to every core),
// and --html FILE, the inspector's page.
struct command_line {
    orvo::DetectorOptions detector;  // threshold (-t), scale (-s, and 3 for -sift)
    std::string image_name;          // input image (-i); empty: none named
    bool sift = false;               // compute SIFT descriptors (-sift)
    bool disp = false;               // show the drawing in a window (-disp)
    bool save = false;               // save the drawing as a PNG (-save)
    double descriptor_timeout = 0;   // seconds the descriptor step may take; 0: no limit
    std::string html;                // the inspector's page of the regions (--html FILE); empty: none
};

// The scale factors' product must lie within the library's range of scales.
// Whether every written matrix is positive definite at the file's precision
// is known only after detection.
using orvo::MIN_SCALE, orvo::MAX_SCALE;

void print_banner();
// The classic usage text, printed for a rejected command line and, with the
// newer options after it, for -h.
void print_usage();
void print_newer_options();
// Every core, at most 256: the detection threads when none are asked for.
int default_threads();

// Parses argv[1..argc-1] into `settings`. Returns false when the run must
// stop with exit status 1: the usage text (or, for a bad -s value, a message
// on standard error) has then been printed, and with no arguments at all
// `settings` is left as it was.
bool parse_command_line(int argc, char** argv, command_line& settings);

// The detector's options alone (-t, -s, --dense and the options above), as
// orvo-batch and orvo-match pass them on: parsed as parse_command_line
// does, but no usage text is printed (their own is theirs to print), and no
// options at all give the classic settings. Returns false, after a message
// on standard error, for a bad option.
bool parse_detector_options(int argc, char** argv, command_line& settings);

// True for the flags of the detector's table (--edge-step and the others
// above), which orvo-batch and orvo-match pass on to this parser.
bool is_detector_option(const std::string& option);

// Reads ORVO_DESCRIPTOR_TIMEOUT (seconds, a number > 0; unset or empty: no
// limit) into `settings`. Returns false, after a message on standard
// error, when it holds anything else.
bool read_environment(command_line& settings);

}  // namespace orvo::cli
