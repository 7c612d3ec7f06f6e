// The command line: banner and usage bytes, option parsing, and the exit
// statuses of the built executable.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "tests/test_support.h"

using namespace orvo::cli;

namespace {

const char* const BANNER =
    "\n"
    "Orvo: Orvo Region Detector\n"
    "Regions enclosed by image edges, from weighted alpha shapes of Canny edge points\n"
    "\n";

const char* const USAGE =
    "Usage: Orvo -i image_filename [-sift] [options]\n"
    "\n"
    " -i image_filename : image filename to extract features\n"
    " -sift             : compute sift descriptors using Zelqar's executable,\n"
    "                     which has to be in the same folder as Orvo detector, \n"
    "                     under the name \"compute_descriptors_64bit.ln\"\n"
    "\n"
    "Options:\n"
    " -t threshold      : apply threshold to feature selection [default: 100]\n"
    " -s scale          : scale extracted features\n"
    "                     (when computing descriptors, features are scaled by a factor 3)\n"
    " -disp             : draw extracted features as ellipses and view in screen\n"
    " -save             : draw extracted features as ellipses and save in image_filename.orvo.png\n"
    " -h                : display this help message\n"
    "\n";

struct parse_result {
    bool ok;
    command_line params;
    std::string out;
};

parse_result parse(std::initializer_list<const char*> args)
{
    std::vector<std::string> storage = {"orvo"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) argv.push_back(arg.data());
    parse_result result;
    testing::internal::CaptureStdout();
    result.ok = parse_command_line(static_cast<int>(argv.size()), argv.data(), result.params);
    result.out = testing::internal::GetCapturedStdout();
    return result;
}

}  // namespace

TEST(CommandLine, BannerAndUsageTextAreExact)
{
    testing::internal::CaptureStdout();
    print_banner();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), BANNER);
    testing::internal::CaptureStdout();
    print_usage();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), USAGE);
}

TEST(CommandLine, DefaultsAndSwitches)
{
    const parse_result r = parse({"-i", "img.png"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.params.image_name, "img.png");
    EXPECT_EQ(r.params.detector.threshold, 100.0);
    EXPECT_EQ(r.params.detector.min_area_growth, 0.1);
    EXPECT_EQ(r.params.detector.edge_step, 11);
    EXPECT_EQ(r.params.detector.scale, 1.0);
    EXPECT_FALSE(r.params.sift);
    EXPECT_EQ(r.params.detector.min_area, 5.0);
    EXPECT_EQ(r.params.detector.max_area, 0.2);
    EXPECT_FALSE(r.params.disp);
    EXPECT_FALSE(r.params.save);
    EXPECT_EQ(r.out, "");

    const parse_result s = parse({"-save", "-disp"});
    ASSERT_TRUE(s.ok);
    EXPECT_TRUE(s.params.save);
    EXPECT_TRUE(s.params.disp);
    EXPECT_EQ(s.params.image_name, "");
}

TEST(CommandLine, RejectedCommandLinesPrintUsage)
{
    for (auto args : {std::initializer_list<const char*>{"img.png"}, {"-x"}, {"-I", "a"}, {"-i"}, {"-t"}, {"-s"},
                      {"-i", "a.png", "-t"}}) {
        const parse_result r = parse(args);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.out, USAGE);
    }
}

TEST(CommandLine, HelpAddsEveryNewerOptionAfterTheClassicUsage)
{
    const parse_result r = parse({"-i", "img.png", "-h"});
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(r.out.compare(0, std::string(USAGE).size(), USAGE), 0);
    const std::string newer = r.out.substr(std::string(USAGE).size());
    for (const char* option : {"--dense", "--edge-step", "--edge-steps", "--min-area", "--max-area",
                               "--duplicate-overlap", "--pyramid-levels", "--pyramid-step", "--threads"}) {
        EXPECT_TRUE(option == std::string("--dense") || is_detector_option(option)) << option;
        EXPECT_NE(newer.find(std::string(" ") + option + " "), std::string::npos) << option;
    }
}

TEST(CommandLine, NoArgumentsLeavesTheRecordAsItWas)
{
    std::vector<char*> argv = {const_cast<char*>("orvo")};
    command_line p;
    p.detector.threshold = 7;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(parse_command_line(1, argv.data(), p));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), USAGE);
    EXPECT_EQ(p.detector.threshold, 7);
}

TEST(CommandLine, ValuesAreTakenVerbatimAndNumbersReadAsStrtod)
{
    const parse_result a = parse({"-i", "-save"});
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.params.image_name, "-save");
    EXPECT_FALSE(a.params.save);

    EXPECT_EQ(parse({"-t", "50abc"}).params.detector.threshold, 50);
    EXPECT_EQ(parse({"-t", "abc"}).params.detector.threshold, 0);
    EXPECT_EQ(parse({"-t", "1e2x"}).params.detector.threshold, 100);
    EXPECT_EQ(parse({"-t", "10", "-t", "20"}).params.detector.threshold, 20);
    EXPECT_EQ(parse({"-t", "0"}).params.detector.threshold, 0);
    EXPECT_EQ(parse({"-i", "a", "-i", "b"}).params.image_name, "b");
}

TEST(CommandLine, ScaleMultipliesInAnyOrder)
{
    const parse_result twice = parse({"-sift", "-sift"});
    EXPECT_TRUE(twice.params.sift);
    EXPECT_EQ(twice.params.detector.scale, 9);
    EXPECT_EQ(parse({"-s", "2", "-sift"}).params.detector.scale, 6);
    EXPECT_EQ(parse({"-sift", "-s", "2"}).params.detector.scale, 6);
    EXPECT_EQ(parse({"-s", "2", "-s", "1.5"}).params.detector.scale, 3);
}

TEST(CommandLine, ScaleMustBePositiveAndFinite)
{
    for (const char* bad : {"0", "-1", "abc", "inf", "nan", "-0"}) {
        testing::internal::CaptureStderr();
        const parse_result r = parse({"-i", "a.png", "-s", bad});
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(r.ok) << bad;
        EXPECT_NE(err.find(std::string("\"") + bad + "\""), std::string::npos) << err;
    }
}

TEST(Executable, ExitStatusesAndOutput)
{
    const run_result none = run_orvo({});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, std::string(BANNER) + USAGE);

    const run_result help = run_orvo({"-h"});
    EXPECT_EQ(help.status, 1);
    EXPECT_EQ(help.out.compare(0, std::string(BANNER).size() + std::string(USAGE).size(), std::string(BANNER) + USAGE), 0);

    EXPECT_EQ(run_orvo({"-bogus"}).status, 1);
    EXPECT_EQ(run_orvo({"-i"}).status, 1);
    EXPECT_EQ(run_orvo({"-s", "0", "-i", "x.png"}).status, 1);

    const run_result no_input = run_orvo({"-save"});
    EXPECT_EQ(no_input.status, 255);
    EXPECT_EQ(no_input.out, BANNER);
    EXPECT_EQ(no_input.err, "unable to open file for input\n");

    temp_dir dir;
    const run_result missing = run_orvo({"-i", dir / "missing.png"});
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.out, std::string(BANNER) + dir / "missing.png" + ": file not found.\n");
    EXPECT_EQ(missing.err, "");
    EXPECT_TRUE(list_dir(dir.path).empty());
}

TEST(CommandLine, DetectorOptionsBeyondTheClassicOnes)
{
    const parse_result dense = parse({"-t", "50", "--dense", "--min-area", "2"});
    ASSERT_TRUE(dense.ok);
    const orvo::DetectorOptions preset = orvo::DetectorOptions::dense();
    EXPECT_EQ(dense.params.detector.edge_steps, preset.edge_steps);
    EXPECT_EQ(dense.params.detector.threshold, 50);  // given options change the preset, in any order
    EXPECT_EQ(dense.params.detector.min_area, 2);
    const parse_result steps = parse({"--edge-steps", "9,5", "--duplicate-overlap", "0.2", "--threads", "2",
                                      "--pyramid-levels", "2", "--pyramid-step", "1.5", "--subpixel-edges", "1",
                                      "--exact-hull", "1", "--exact-hull", "0", "--edge-pixel-hull", "1"});
    ASSERT_TRUE(steps.ok);
    EXPECT_TRUE(steps.params.detector.subpixel_edges);
    EXPECT_FALSE(steps.params.detector.exact_hull);  // the last value given counts
    EXPECT_TRUE(steps.params.detector.edge_pixel_hull);
    EXPECT_EQ(steps.params.detector.pyramid_levels, 2);
    EXPECT_EQ(steps.params.detector.pyramid_step, 1.5);
    EXPECT_EQ(steps.params.detector.edge_steps, (std::vector<int>{9, 5}));
    EXPECT_EQ(steps.params.detector.duplicate_overlap, 0.2);
    EXPECT_EQ(steps.params.detector.threads, 2);
    EXPECT_EQ(parse({"--edge-step", "5", "--max-area", "0.5"}).params.detector.edge_step, 5);
    for (auto args : {std::initializer_list<const char*>{"--edge-step", "5x"}, {"--edge-steps", "9,"},
                      {"--edge-step", "0"}, {"--threads", "1.5"}, {"--max-area", "-1"}, {"--min-area", "nan"},
                      {"--pyramid-levels", "0"}, {"--subpixel-edges", "2"}, {"--exact-hull", "yes"}}) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(parse(args).ok) << *args.begin();
        // The message names the flag, or the library's option of that name.
        std::string option = *args.begin() + 2;
        std::replace(option.begin(), option.end(), '-', '_');
        std::string err = testing::internal::GetCapturedStderr();
        std::replace(err.begin(), err.end(), '-', '_');
        EXPECT_NE(err.find(option), std::string::npos) << err;
    }
}
