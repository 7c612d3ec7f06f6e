// Replays every input that once made a fuzz target fail, kept in
// tests/fuzz/regressions/<target>/, and the seed inputs.
#include <gtest/gtest.h>

#include "tests/fuzz/fuzz_bodies.h"
#include "tests/test_support.h"

namespace {

void replay(const std::string& folder, void (*body)(const std::uint8_t*, std::size_t))
{
    for (const std::string& name : list_dir(folder)) {
        const std::string bytes = read_file(folder + "/" + name);
        SCOPED_TRACE(folder + "/" + name);
        body(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
}

}  // namespace

TEST(FuzzRegressions, DetectionInputs)
{
    replay(std::string(ORVO_FUZZ_DIR) + "/regressions/detection", fuzz_detection_input);
    replay(std::string(ORVO_FUZZ_DIR) + "/seeds/detection", fuzz_detection_input);
}

TEST(FuzzRegressions, RegionFileInputs)
{
    replay(std::string(ORVO_FUZZ_DIR) + "/regressions/regions", fuzz_region_input);
    replay(std::string(ORVO_FUZZ_DIR) + "/seeds/regions", fuzz_region_input);
}
