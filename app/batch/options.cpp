// Parsing orvo-batch's command line. The detector's options (-t, -s, --dense
// and the others) go through orvo's own parser, so that they read numbers and
// reject values exactly as `orvo` does.
#include "app/batch/options.h"

#include <cstring>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "batch/extract.h"
#include "app/command_line.h"
#include "library/option_table.h"

namespace orvo::batch {

using namespace orvo::cli;

namespace {

// The usage text, the detector's options listed from their table.
std::string usage()
{
    orvo::DetectorOptions defaults;
    defaults.threads = 1;
    return
    "Usage: orvo-batch [options] INPUT...\n"
    "\n"
    "Detects the regions of many images with a pool of worker threads.\n"
    "INPUT: an image file, a folder (searched recursively for image files, in\n"
    "sorted order) or @LIST (a text file of image paths, one a line; relative\n"
    "paths are relative to the list's folder).\n"
    "\n"
    "Options:\n"
    " -o DIR             : write the outputs under DIR, mirroring each image's path\n"
    "                      relative to its INPUT folder or list [default: beside\n"
    "                      each image]\n"
    " -t threshold       : feature selection threshold, as orvo's [default: 100]\n"
    " -s scale           : scale the regions, as orvo's (repeats multiply)\n"
    " --dense            : many more regions (the dense preset), as orvo's\n"
    " --sift             : also write IMAGE.orvo.sift (descriptors of the regions\n"
    "                      scaled by 3, as orvo -sift)\n"
    " --format orvo      : write IMAGE.orvo, as orvo does [default]\n"
    " --format colmap    : write IMAGE.txt for colmap feature_importer instead\n"
    "                      (keypoints and descriptors)\n"
    " -j N               : worker threads [default: all cores]\n"
    " --force            : redo images whose outputs are up to date, and accept an\n"
    "                      output folder whose outputs were made with other options\n"
    "                      (recorded in its .orvo-batch-options)\n"
    " --shard K/N        : only the images whose position in the list is K modulo N\n"
    " --failed-list FILE : write the failed images' paths to FILE (re-run: @FILE); a\n"
    "                      path that a line cannot hold (a line break) is named\n"
    "                      on standard error instead\n"
    " -v                 : one line per image\n"
    " -q                 : no progress and no summary\n"
    " -h                 : display this help message\n"
    "\n"
    "Exit status: 0 all images done or up to date; 2 some failed; 1 bad command\n"
    "line, unreadable input, clashing outputs or outputs made with other options;\n"
    "128 + signal number when interrupted (130 SIGINT, 143 SIGTERM, 129 SIGHUP).\n"
    "\n"
    "The detector's options, as orvo's (--threads: of each image's detection, so that\n"
    "a few large images use every core: -j 2 --threads 4):\n" +
        orvo::detail::help_lines(orvo::detail::detector_option_table(), defaults);
}

// A whole decimal number in [low, high], or false.
bool read_count(const std::string& text, long long low, long long high, long long& value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12) return false;
    value = std::stoll(text);
    return value >= low && value <= high;
}

bool read_shard(const std::string& text, batch_options& options)
{
    const std::size_t slash = text.find('/');
    long long k = 0, n = 0;
    if (slash == std::string::npos || !read_count(text.substr(slash + 1), 1, 1LL << 40, n) ||
        !read_count(text.substr(0, slash), 0, n - 1, k))
        return false;
    options.shard_index = static_cast<std::size_t>(k);
    options.shard_count = static_cast<std::size_t>(n);
    return true;
}

parse_outcome bad(const std::string& message)
{
    std::cerr << "orvo-batch: " << message << "\n\n" << usage();
    return parse_outcome::bad;
}

}  // namespace

parse_outcome parse_batch_options(int argc, char** argv, batch_options& options)
{
    options = batch_options();
    const unsigned cores = std::thread::hardware_concurrency();
    options.jobs = cores > 0 ? static_cast<int>(cores) : 1;
    // -t and -s in their order, for orvo's parser.
    std::vector<char*> detector_args = {argv[0]};
    bool threads_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        const bool takes_value = arg == "-o" || arg == "-t" || arg == "-s" || arg == "--format" || arg == "-j" ||
                                 arg == "--shard" || arg == "--failed-list" || is_detector_option(arg);
        if (takes_value && !has_value) return bad(arg + " needs a value");
        if (arg == "-h" || arg == "--help") {
            std::cout << usage();
            return parse_outcome::help;
        } else if (arg == "-t" || arg == "-s" || is_detector_option(arg)) {
            threads_given = threads_given || arg == "--threads";
            detector_args.push_back(argv[i]);
            detector_args.push_back(argv[++i]);
        } else if (arg == "--dense") {
            detector_args.push_back(argv[i]);
        } else if (arg == "-o") {
            options.output_dir = argv[++i];
            if (options.output_dir.empty()) return bad("-o needs a folder");
        } else if (arg == "--format") {
            const std::string format = argv[++i];
            if (format == "orvo") options.format = output_format::orvo;
            else if (format == "colmap") options.format = output_format::colmap;
            else return bad("unknown format \"" + format + "\" (orvo or colmap)");
        } else if (arg == "-j") {
            long long jobs = 0;
            if (!read_count(argv[++i], 1, 4096, jobs)) return bad("-j needs a whole number from 1 to 4096");
            options.jobs = static_cast<int>(jobs);
        } else if (arg == "--shard") {
            if (!read_shard(argv[++i], options)) return bad("--shard needs K/N with N >= 1 and 0 <= K < N");
        } else if (arg == "--failed-list") {
            options.failed_list = argv[++i];
        } else if (arg == "--sift") {
            options.sift = true;
        } else if (arg == "--force") {
            options.force = true;
        } else if (arg == "-v") {
            options.level = verbosity::verbose;
        } else if (arg == "-q") {
            options.level = verbosity::quiet;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return bad("unknown option " + arg);
        } else {
            options.inputs.push_back(arg);
        }
    }
    if (options.inputs.empty()) return bad("no INPUT given");

    command_line detector_settings;
    if (detector_args.size() > 1) {
        if (!parse_detector_options(static_cast<int>(detector_args.size()), detector_args.data(), detector_settings))
            return bad("bad detector option");
        options.detector = detector_settings.detector;
    }
    // The workers are the parallelism unless asked otherwise.
    if (!threads_given) options.detector.threads = 1;
    const std::string refusal = options_refusal(options);
    if (!refusal.empty()) return bad(refusal);
    return parse_outcome::run;
}

}  // namespace orvo::batch
