// Replays every input that once made a fuzz target fail, kept in
// tests/fuzz/regressions/<target>/, and the seed inputs, checking what each
// target stands for: an encoded image yields valid regions or a clean
// refusal; a region file is parsed into valid regions or refused with a
// message that names the file and line.
#include <gtest/gtest.h>

#include <regex>

#include "io/image_input.h"
#include "library/region_text.h"
#include "orvo/orvo.h"
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
        // The fuzz target's limit: small images only.
        const image_read read =
            decode_image(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), std::size_t(1) << 18);
        if (read.failure != image_failure::none) {
            EXPECT_TRUE(read.image.empty());
            EXPECT_FALSE(read.reason.empty());
            return;
        }
        for (const orvo::Region& r : orvo::detect(read.image)) {
            EXPECT_TRUE(orvo::is_valid(r));
            EXPECT_TRUE(r.x >= 0 && r.x <= read.image.cols - 1 && r.y >= 0 && r.y <= read.image.rows - 1);
        }
    });
}

TEST(FuzzRegressions, RegionFileInputs)
{
    replay("regions", [](const std::string& text) {
        try {
            for (const orvo::Region& r : orvo::parse_region_text(text, "fuzz", 0.0)) EXPECT_TRUE(orvo::is_valid(r));
        } catch (const orvo::RegionFileError& e) {
            EXPECT_TRUE(std::regex_search(e.what(), std::regex("^fuzz:[0-9]+: "))) << e.what();
        }
    });
}
