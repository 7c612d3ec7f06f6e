// libFuzzer target: arbitrary bytes as a region file for the descriptor
// executable's reader, in a locale with a decimal comma.
#include <cstdio>

#include "tests/fuzz/fuzz_bodies.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (!set_decimal_comma_locale()) std::fprintf(stderr, "no locale with a decimal comma: fuzzing in the \"C\" locale\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string fault = region_input_fault(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "fault: %s\n", fault.c_str());
        __builtin_trap();
    }
    return 0;
}
