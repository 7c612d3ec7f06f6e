// Replays every input that once made a fuzz target fail, kept in
// tests/fuzz/regressions/<target>/, and the seed inputs, through the checks
// the fuzz targets make.
#include <gtest/gtest.h>

#include <clocale>

#include "tests/fuzz/fuzz_bodies.h"
#include "tests/test_support.h"

namespace {

// Calls `check` on every input of the target's folders; fails when there is
// none.
template <class Check>
void replay(const std::string& target, Check check)
{
    std::size_t inputs = 0;
    for (const char* kind : {"/regressions/", "/seeds/"}) {
        const std::string folder = std::string(ORVO_FUZZ_DIR) + kind + target;
        for (const std::string& name : list_dir(folder)) {
            SCOPED_TRACE(folder + "/" + name);
            check(read_file(folder + "/" + name));
            ++inputs;
        }
    }
    EXPECT_GT(inputs, 0u);
}

}  // namespace

TEST(FuzzRegressions, DetectionInputs)
{
    replay("detection", [](const std::string& bytes) {
        EXPECT_EQ(detection_input_fault(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "");
    });
}

TEST(FuzzRegressions, RegionFileInputs)
{
    // In the "C" locale, and in one with a decimal comma as the fuzz target
    // runs.
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    for (const bool comma : {false, true}) {
        if (comma && !set_decimal_comma_locale()) break;
        replay("regions", [](const std::string& text) {
            EXPECT_EQ(region_input_fault(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), "");
        });
    }
    std::setlocale(LC_ALL, previous.c_str());
}
