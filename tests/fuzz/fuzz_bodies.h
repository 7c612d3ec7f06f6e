// What the fuzz targets check on one input, shared with the test that replays
// the inputs that once made them fail. Each returns a description of the
// fault it found, or an empty string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Arbitrary bytes as an encoded image: decoded to the size its header tells,
// or refused with a reason; once decoded, the whole detection gives valid
// regions inside the image.
std::string detection_input_fault(const std::uint8_t* data, std::size_t size);

// Arbitrary bytes as an affine-region file: valid regions, or a refusal that
// names the file and line; regions the writer accepts read back from what it
// writes.
std::string region_input_fault(const std::uint8_t* data, std::size_t size);

// Sets the process's locale to one with a decimal comma (German or French),
// under which the region files must read and write as in the "C" locale;
// false when none is installed.
bool set_decimal_comma_locale();
