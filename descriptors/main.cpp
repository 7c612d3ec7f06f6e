// compute_descriptors_64bit.ln: SIFT descriptors for the regions of an
// affine-region file.
//
//   compute_descriptors_64bit.ln -i IMAGE -sift -p1 REGIONS -o1 OUTPUT
//
// OUTPUT: "128", the region count, then one line per region: its u v a b c
// as read, then 128 integers 0..255. Exit status: 0 done; 1 bad command
// line; 2 an input could not be read or the output could not be written (a
// message names the file and line; no output file is left).
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "descriptors/affine_sift.h"
#include "descriptors/region_file.h"
#include "edges/edge_points.h"
#include "ellipse/atomic_file.h"

#include <opencv2/imgproc.hpp>

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

}  // namespace

int main(int argc, char** argv)
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

    const cv::Mat colour = load_colour_image(args.image);
    if (colour.empty()) {
        std::cerr << args.image << ": unable to read the image" << std::endl;
        return 2;
    }
    std::vector<affine_region> regions;
    const std::string problem = read_region_file(args.regions, regions);
    if (!problem.empty()) {
        std::cerr << problem << std::endl;
        return 2;
    }

    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    const cv::Mat descriptors = compute_affine_sift(grey, regions);

    const std::string error = write_file_atomically(args.output, [&](std::FILE* fp) {
        std::fprintf(fp, "%d\n%zu\n", DESCRIPTOR_LENGTH, regions.size());
        for (std::size_t i = 0; i < regions.size(); ++i) {
            std::fputs(regions[i].text.c_str(), fp);
            const unsigned char* d = descriptors.ptr<unsigned char>(static_cast<int>(i));
            for (int k = 0; k < DESCRIPTOR_LENGTH; ++k) std::fprintf(fp, " %d", d[k]);
            std::fputc('\n', fp);
        }
    });
    if (!error.empty()) {
        std::cerr << "Unable to write file " << args.output << ": " << error << std::endl;
        return 2;
    }
    return 0;
}
