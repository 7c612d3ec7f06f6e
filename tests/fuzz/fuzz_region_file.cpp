// libFuzzer target: arbitrary bytes as a region file for the descriptor
// executable's reader.
#include <cstdio>

#include "tests/fuzz/fuzz_bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string fault = region_input_fault(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "fault: %s\n", fault.c_str());
        __builtin_trap();
    }
    return 0;
}
