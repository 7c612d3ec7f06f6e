// The option tables and every interface made from them: each option of the
// detector's and the matcher's tables reaches its field through the command
// lines of orvo, orvo-batch and orvo-match, is refused out of range by
// validate() naming it, is in the batch record when it changes the output,
// and has its row in the README; presets and explicit options combine the
// same way everywhere (explicit wins).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "batch/manifest.h"
#include "app/command_line.h"
#include "library/number_text.h"
#include "library/option_table.h"
#include "tests/test_support.h"

using namespace orvo::batch;
using namespace orvo::cli;

namespace {

using orvo::detail::detector_option;
using orvo::detail::detector_option_table;
using orvo::detail::match_option;
using orvo::detail::match_option_table;
using orvo::detail::value_kind;

// A number that the range refuses (not a number when it takes any).
double out_of_range(const orvo::detail::value_range& range)
{
    if (std::isfinite(range.high)) return range.high * 2 + 1;
    if (std::isfinite(range.low)) return range.low_open ? range.low : range.low - 1;
    return NAN;
}

// A value of the option's kind that it refuses, as command-line text.
template <class Option>
std::string out_of_range_text(const Option& option)
{
    const value_kind kind = orvo::detail::kind_of(option);
    if (kind == value_kind::flag) return "2";
    if (kind == value_kind::choice) return "affine";
    return orvo::detail::shortest_text(out_of_range(option.range));
}

// Sets the option's field to a value that its range refuses (switches take
// any value of theirs).
void set_out_of_range(const detector_option& option, orvo::DetectorOptions& options)
{
    const double refused = out_of_range(option.range);
    std::visit(
        [&](auto member) {
            auto& field = options.*member;
            using Value = std::decay_t<decltype(field)>;
            if constexpr (std::is_same_v<Value, std::vector<int>>)
                field = {static_cast<int>(refused)};
            else if constexpr (std::is_same_v<Value, double> || std::is_same_v<Value, int>)
                field = static_cast<Value>(refused);
        },
        option.field);
}

// A value of the option's kind within its range that differs from `now`.
std::string other_value_text(const detector_option& option, const orvo::DetectorOptions& now)
{
    const std::string current = orvo::detail::value_text(option, now);
    switch (orvo::detail::kind_of(option)) {
    case value_kind::flag: return current == "1" ? "0" : "1";
    case value_kind::whole_list: return "7,5";
    default: break;
    }
    for (const double candidate : {2.0, 3.0, 0.5, 0.25})
        if (orvo::detail::in_range(option.range, candidate) && orvo::detail::shortest_text(candidate) != current)
            return orvo::detail::shortest_text(candidate);
    return "";
}

bool parse_detector(std::vector<std::string> args, command_line& settings)
{
    args.insert(args.begin(), {"orvo", "-i", "a.png"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool ok = parse_command_line(static_cast<int>(argv.size()), argv.data(), settings);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return ok;
}

TEST(OptionTable, EveryDetectorOptionIsValidatedAndReachesItsFieldFromTheCommandLine)
{
    for (const detector_option& option : detector_option_table()) {
        SCOPED_TRACE(option.name);
        orvo::DetectorOptions refused;
        set_out_of_range(option, refused);
        if (orvo::detail::kind_of(option) != value_kind::flag) {
            try {
                refused.validate();
                ADD_FAILURE() << "accepted " << out_of_range_text(option);
            } catch (const std::invalid_argument& e) {
                EXPECT_NE(std::string(e.what()).find(option.name), std::string::npos) << e.what();
            }
        }
        if (!option.flag) continue;  // -t and -s, the classic options
        for (const bool dense : {false, true}) {
            const orvo::DetectorOptions preset = dense ? orvo::DetectorOptions::dense() : orvo::DetectorOptions();
            const std::string value = other_value_text(option, preset);
            ASSERT_FALSE(value.empty());
            std::vector<std::string> args = {option.flag, value};
            if (dense) args.insert(args.begin(), "--dense");
            command_line settings;
            ASSERT_TRUE(parse_detector(args, settings)) << value;
            EXPECT_EQ(orvo::detail::value_text(option, settings.detector), value);
            command_line bad;
            EXPECT_FALSE(parse_detector({option.flag, out_of_range_text(option)}, bad));
        }
    }
}

TEST(OptionTable, ExplicitOptionsWinOverThePresetWhereverTheyStand)
{
    command_line before, after;
    ASSERT_TRUE(parse_detector({"--edge-step", "5", "--min-area", "2", "--dense"}, before));
    ASSERT_TRUE(parse_detector({"--dense", "--edge-step", "5", "--min-area", "2"}, after));
    for (const command_line* settings : {&before, &after}) {
        EXPECT_TRUE(settings->detector.edge_steps.empty());  // one given step replaces the preset's steps
        EXPECT_EQ(settings->detector.edge_step, 5);
        EXPECT_EQ(settings->detector.min_area, 2);
        EXPECT_EQ(settings->detector.pyramid_levels, orvo::DetectorOptions::dense().pyramid_levels);
    }
    // -sift grows the regions by the measurement scale given, before or after it.
    command_line sift_first;
    ASSERT_TRUE(parse_detector({"-sift", "--measurement-scale", "5", "-s", "2"}, sift_first));
    EXPECT_DOUBLE_EQ(sift_first.detector.scale, 10);
}

TEST(OptionTable, TheBatchRecordHoldsEveryOptionThatChangesTheOutput)
{
    batch_options base;
    const std::string recorded = manifest_text(base);
    for (const detector_option& option : detector_option_table()) {
        SCOPED_TRACE(option.name);
        EXPECT_EQ(recorded.find("\n" + std::string(option.name) + " ") != std::string::npos, option.shapes_output);
        if (!option.flag) continue;
        batch_options changed = base;
        orvo::detail::set_option_text(option, other_value_text(option, base.detector).c_str(), changed.detector);
        EXPECT_EQ(manifest_text(changed) != recorded, option.shapes_output);
    }
}

TEST(OptionTable, EveryCommandLineOptionIsInTheUsageOfEachExecutableAndRefusedOutOfRange)
{
    const run_result match_help = run_program(ORVO_MATCH_EXECUTABLE, {"--help"});
    const run_result batch_help = run_program(ORVO_BATCH_EXECUTABLE, {"--help"});
    const run_result orvo_help = run_orvo({"-h"});
    for (const detector_option& option : detector_option_table()) {
        if (!option.flag) continue;
        SCOPED_TRACE(option.flag);
        const std::string listed = std::string(" ") + option.flag + " ";
        for (const run_result* help : {&match_help, &batch_help, &orvo_help})
            EXPECT_NE(help->out.find(listed), std::string::npos);
        for (const char* executable : {ORVO_MATCH_EXECUTABLE, ORVO_BATCH_EXECUTABLE}) {
            const run_result r = run_program(executable, {option.flag, out_of_range_text(option), "a.png", "b.png"});
            EXPECT_EQ(r.status, 1) << executable;
        }
    }
    for (const match_option& option : match_option_table()) {
        SCOPED_TRACE(option.flag);
        EXPECT_NE(match_help.out.find(std::string(" ") + option.flag + " "), std::string::npos);
        const run_result r = run_program(ORVO_MATCH_EXECUTABLE, {option.flag, out_of_range_text(option), "a", "b"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(option.flag == std::string("--model") ? "affine" : option.name), std::string::npos)
            << r.err;
    }
}

TEST(OptionTable, TheReadmeListsEveryOptionWithItsDefault)
{
    std::ifstream in(ORVO_README);
    std::stringstream readme;
    readme << in.rdbuf();
    const std::string detector_rows =
        orvo::detail::markdown_rows(detector_option_table(), orvo::DetectorOptions());
    const std::string match_rows = orvo::detail::markdown_rows(match_option_table(), orvo::MatchOptions());
    EXPECT_NE(readme.str().find(detector_rows), std::string::npos) << "the README's table should read:\n"
                                                                  << detector_rows;
    EXPECT_NE(readme.str().find(match_rows), std::string::npos) << "the README's table should read:\n" << match_rows;
}

}  // namespace
