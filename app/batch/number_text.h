// Numbers as text whatever the process's locale: a point for the decimal
// separator, no grouping.
#pragma once

#include <charconv>
#include <string>

// The shortest text that reads back as `value`.
inline std::string shortest_text(double value)
{
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// `value` with `decimals` decimals, appended to `out`.
inline void append_fixed(std::string& out, double value, int decimals)
{
    char text[512];
    out.append(text, std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals).ptr);
}
