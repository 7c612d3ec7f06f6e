// libFuzzer target: arbitrary bytes through image decoding and the detection.
#include <cstdio>

#include "tests/fuzz/fuzz_bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string fault = detection_input_fault(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "fault: %s\n", fault.c_str());
        __builtin_trap();
    }
    return 0;
}
