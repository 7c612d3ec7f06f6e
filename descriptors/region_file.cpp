// The affine-region file reader, strict about everything a descriptor run
// relies on: the count, the numbers and a positive definite matrix.
#include "descriptors/region_file.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <locale.h>
#include <sstream>

namespace {

// A whole token read as a finite or non-finite double in the "C" locale.
bool parse_number(const std::string& token, double& value)
{
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (token.empty()) return false;
    char* end = nullptr;
    value = strtod_l(token.c_str(), &end, c_locale);
    return end == token.c_str() + token.size();
}

std::vector<std::string> split(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> tokens;
    std::string token;
    while (in >> token) tokens.push_back(token);
    return tokens;
}

}  // namespace

std::string read_region_file(const std::string& file_name, std::vector<affine_region>& regions)
{
    std::ifstream in(file_name);
    if (!in) return file_name + ": " + std::strerror(errno ? errno : ENOENT);
    return read_region_stream(in, file_name, regions);
}

std::string read_region_stream(std::istream& in, const std::string& file_name, std::vector<affine_region>& regions)
{
    auto where = [&](int line) { return file_name + ":" + std::to_string(line) + ": "; };

    std::string line;
    int line_number = 0;
    // Lines that hold something; blank lines are passed over.
    auto next_line = [&](std::vector<std::string>& tokens) {
        while (std::getline(in, line)) {
            ++line_number;
            tokens = split(line);
            if (!tokens.empty()) return true;
        }
        return false;
    };

    std::vector<std::string> tokens;
    double number = 0;
    if (!next_line(tokens)) return where(line_number + 1) + "missing the first line (a number)";
    if (tokens.size() != 1 || !parse_number(tokens[0], number)) return where(line_number) + "the first line must be one number";
    if (!next_line(tokens)) return where(line_number + 1) + "missing the region count";
    double count = 0;
    if (tokens.size() != 1 || !parse_number(tokens[0], count) || count < 0 || count != std::floor(count) || count > 1e9)
        return where(line_number) + "the region count must be a whole number";

    regions.clear();
    const long n = static_cast<long>(count);
    for (long k = 0; k < n; ++k) {
        if (!next_line(tokens))
            return where(line_number + 1) + "the file ends after " + std::to_string(k) + " of " + std::to_string(n) + " regions";
        if (tokens.size() < 5) return where(line_number) + "a region needs five numbers: u v a b c";
        double values[5];
        for (int i = 0; i < 5; ++i)
            if (!parse_number(tokens[i], values[i])) return where(line_number) + "not a number: \"" + tokens[i] + "\"";
        for (int i = 0; i < 5; ++i)
            if (!std::isfinite(values[i])) return where(line_number) + "not a finite number: \"" + tokens[i] + "\"";
        const double a = values[2], b = values[3], c = values[4];
        if (!(a > 0 && c > 0 && a * c - b * b > 0)) return where(line_number) + "the matrix [a b; b c] is not positive definite";
        regions.push_back({values[0], values[1], a, b, c,
                           tokens[0] + " " + tokens[1] + " " + tokens[2] + " " + tokens[3] + " " + tokens[4]});
    }
    if (next_line(tokens))
        return where(line_number) + "more regions than the count of " + std::to_string(n) + " says";
    return std::string();
}
