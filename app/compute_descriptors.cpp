// compute_descriptors_64bit.ln: SIFT descriptors for the regions of an
// affine-region file.
//
//   compute_descriptors_64bit.ln -i IMAGE -sift -p1 REGIONS -o1 OUTPUT
//
// OUTPUT: "128", the region count, then one line per region: its u v a b c
// as read, then 128 integers 0..255. Exit status: 0 done; 1 bad command
// line (an output that is the image or the region file among it) or memory
// ran out; 2 an input could not be read, a region cannot be
// described (its patch cannot be sampled), the output could not be
// written (a message names the file and line; no output file is left), or
// the description failed otherwise (a message says why).
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "app/output_paths.h"
#include "app/program.h"
#include "orvo/orvo.h"

namespace orvo::cli {

namespace {

const char* const USAGE =
    "Usage: compute_descriptors_64bit.ln -i IMAGE -sift -p1 REGIONS -o1 OUTPUT\n"
    "\n"
    " -i IMAGE    : the image the regions were detected in\n"
    " -sift       : SIFT descriptors (the only kind)\n"
    " -p1 REGIONS : affine-region file (u v a b c per region)\n"
    " -o1 OUTPUT  : descriptor file to write\n"
    " -h          : display this help message\n";

struct arguments {
    std::string image, regions, output;
    bool sift = false;
};

// 0: run; 1: bad command line; -1: help asked for.
int parse(int argc, char** argv, arguments& args)
{
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (std::strcmp(argv[i], "-h") == 0) return -1;
        if (std::strcmp(argv[i], "-sift") == 0) args.sift = true;
        else if (std::strcmp(argv[i], "-i") == 0 && has_value) args.image = argv[++i];
        else if (std::strcmp(argv[i], "-p1") == 0 && has_value) args.regions = argv[++i];
        else if (std::strcmp(argv[i], "-o1") == 0 && has_value) args.output = argv[++i];
        else return 1;
    }
    return args.sift && !args.image.empty() && !args.regions.empty() && !args.output.empty() ? 0 : 1;
}

// The number of the line that holds region `index` (0-based) in a region
// file that has been read: the lines that hold anything but blanks are the
// descriptor length, the count and the regions.
long line_of_region(const std::string& path, std::size_t index)
{
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::size_t filled = 0;
    for (long number = 1; std::getline(in, line); ++number) {
        if (line.find_first_not_of(" \t\r\v\f") != std::string::npos && filled++ == index + 2) return number;
    }
    return 0;
}

int run(int argc, char** argv)
{
    cv::setNumThreads(0);
    arguments args;
    const int parsed = parse(argc, argv, args);
    if (parsed == -1) {
        std::cout << USAGE;
        return 0;
    }
    if (parsed != 0) {
        std::cerr << USAGE;
        return 1;
    }
    const std::string clash = output_clash({{"-o1", args.output}}, {{"-i", args.image}, {"-p1", args.regions}});
    if (!clash.empty()) {
        std::cerr << clash << ": nothing done" << std::endl;
        return 1;
    }

    cv::Mat image;
    try {
        image = orvo::read_image(args.image);
    } catch (const orvo::ImageError&) {
        std::cerr << args.image << ": unable to read the image" << std::endl;
        return 2;
    }
    // Regions are described where the file places them, and written back
    // exactly as they were read.
    std::vector<std::string> written;
    std::vector<orvo::Region> regions;
    try {
        regions = orvo::read_region_file(args.regions, 0.0, &written);
    } catch (const orvo::RegionFileError& e) {
        std::cerr << e.what() << std::endl;
        return 2;
    }
    for (std::size_t i = 0; i < regions.size(); ++i) {
        if (!orvo::can_describe(regions[i])) {
            std::cerr << args.regions << ":" << line_of_region(args.regions, i)
                      << ": the region's patch cannot be sampled: its semi-axes must lie within [0.001, 1e7] pixels "
                         "and its centre within 1e7 pixels of the origin"
                      << std::endl;
            return 2;
        }
    }
    // Every core: the descriptors do not depend on it.
    orvo::DescriptorOptions options;
    options.threads = static_cast<int>(std::max(1u, std::min(256u, std::thread::hardware_concurrency())));
    const cv::Mat descriptors = orvo::describe(image, regions, nullptr, options);

    try {
        orvo::write_descriptor_file(args.output, regions, descriptors, 0.0, &written);
    } catch (const orvo::RegionFileError& e) {
        std::cerr << "Unable to write file " << e.what() << std::endl;
        return 2;
    }
    return 0;
}

}  // namespace

}  // namespace orvo::cli

using namespace orvo::cli;

int main(int argc, char** argv)
{
    run_program("compute_descriptors_64bit.ln", run, argc, argv, 2);
}
