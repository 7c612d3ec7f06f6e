// Locale-independent reading and writing of numbers.
#include "library/number_text.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <stdexcept>

namespace orvo::detail {

double read_number(const char* text, char** end)
{
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return strtod_l(text, end, c_locale);
}

bool read_whole_number(const char* begin, const char* end, double& value)
{
    // Copied for strtod's terminating zero: on the stack, or on the heap for
    // the rare long token (a matrix of a hugely shrunk region has hundreds of
    // digits at ten decimals).
    char buffer[64];
    std::string long_text;
    const std::size_t length = static_cast<std::size_t>(end - begin);
    const char* text = buffer;
    if (length < sizeof buffer) {
        std::memcpy(buffer, begin, length);
        buffer[length] = '\0';
    } else {
        long_text.assign(begin, end);
        text = long_text.c_str();
    }
    char* stop = nullptr;
    value = read_number(text, &stop);
    return length > 0 && stop == text + length;
}

std::string fixed_text(double value, int decimals)
{
    // The integer part of a finite double has at most 309 digits.
    char text[330 + 64];
    if (decimals < 0 || decimals > 64) throw std::invalid_argument("fixed_text: 0 to 64 decimals");
    const std::to_chars_result written =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return std::string(text, written.ptr);
}

std::string shortest_text(double value)
{
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

}  // namespace orvo::detail
