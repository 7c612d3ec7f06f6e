// Bodies of the fuzz targets.
#include "tests/fuzz/fuzz_bodies.h"

#include <string>

#include "io/image_input.h"
#include "library/region_text.h"
#include "orvo/orvo.h"

void fuzz_detection_input(const std::uint8_t* data, std::size_t size)
{
    // Small images only: the fuzzer looks for faults, not for large inputs.
    const image_read read = decode_image(data, size, std::size_t(1) << 18);
    if (read.failure != image_failure::none) return;
    for (const orvo::Region& r : orvo::detect(read.image)) {
        if (!orvo::is_valid(r)) __builtin_trap();
    }
}

void fuzz_region_input(const std::uint8_t* data, std::size_t size)
{
    try {
        orvo::parse_region_text(std::string(reinterpret_cast<const char*>(data), size), "fuzz", 0.0);
    } catch (const orvo::RegionFileError&) {
    }
}
