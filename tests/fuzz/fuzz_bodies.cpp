// Bodies of the fuzz targets.
#include "tests/fuzz/fuzz_bodies.h"

#include <string>

#include "io/image_header.h"
#include "io/image_input.h"
#include "library/region_text.h"
#include "orvo/orvo.h"

void fuzz_detection_input(const std::uint8_t* data, std::size_t size)
{
    // Small images only: the fuzzer looks for faults, not for large inputs.
    constexpr std::size_t max_pixels = std::size_t(1) << 18;
    const image_read read = decode_image(data, size, max_pixels);
    // The header alone decides the pixel limit, so it must tell the size
    // that the decoders find.
    const image_header header = read_image_header(data, size);
    if (header.complete && header.width * header.height > max_pixels && read.failure != image_failure::too_large)
        __builtin_trap();
    if (read.failure != image_failure::none) return;
    if (std::uint64_t(read.image.cols) != header.width || std::uint64_t(read.image.rows) != header.height) __builtin_trap();
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
