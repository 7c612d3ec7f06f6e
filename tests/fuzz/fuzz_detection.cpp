// libFuzzer target: arbitrary bytes through image decoding and the detection.
#include <cstdlib>

#include "tests/fuzz/fuzz_bodies.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Small images only: the fuzzer looks for faults, not for large inputs.
    setenv("OPENCV_IO_MAX_IMAGE_PIXELS", "262144", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_detection_input(data, size);
    return 0;
}
