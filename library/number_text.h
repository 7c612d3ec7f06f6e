// Numbers as text in the "C" locale, whatever locale the process runs in:
// the region and descriptor files and the command lines read and write
// them so, and a host program's setlocale changes none of them.
#pragma once

#include <string>

namespace orvo::detail {

// strtod in the "C" locale: the longest numeric prefix of `text` counts, no
// prefix reads as 0 (with *end == text).
double read_number(const char* text, char** end = nullptr);

// The whole of [begin, end) as a number in the "C" locale, as read_number
// reads it; false when part of it is not the number.
bool read_whole_number(const char* begin, const char* end, double& value);

// `value` with `decimals` digits after the point, as printf's "%.*f" gives it
// in the "C" locale (the same digits, the same rounding, "-0.0..." for a
// negative value that rounds to zero).
std::string fixed_text(double value, int decimals);

// The shortest text that reads back as `value`.
std::string shortest_text(double value);

}  // namespace orvo::detail
