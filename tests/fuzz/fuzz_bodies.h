// What the fuzz targets do with one input, shared with the test that replays
// the inputs that once crashed them.
#pragma once

#include <cstddef>
#include <cstdint>

// Arbitrary bytes as an encoded image, through decoding and the whole
// detection.
void fuzz_detection_input(const std::uint8_t* data, std::size_t size);

// Arbitrary bytes as an affine-region file.
void fuzz_region_input(const std::uint8_t* data, std::size_t size);
