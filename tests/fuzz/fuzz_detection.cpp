// libFuzzer target: arbitrary bytes through image decoding and the detection.
#include "tests/fuzz/fuzz_bodies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_detection_input(data, size);
    return 0;
}
