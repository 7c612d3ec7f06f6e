// libFuzzer target: arbitrary bytes as a region file for the descriptor
// executable's reader.
#include "tests/fuzz/fuzz_bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_region_input(data, size);
    return 0;
}
