// Reading affine-region files: a first line holding a number, the region
// count N on the second, then N lines "u v a b c" (more numbers may follow
// and are ignored). (u, v) is the centre in pixels (column, row) and
// [[a b][b c]] the quadratic form of the region: the points p with
// (p - centre)' M (p - centre) <= 1.
#pragma once

#include <istream>
#include <string>
#include <vector>

struct affine_region {
    double u, v, a, b, c;
    std::string text;  // "u v a b c" exactly as the five numbers were written
};

// Reads `file_name` into `regions`. Returns an empty string on success,
// otherwise "<file>:<line>: <what is wrong>" (or "<file>: <reason>" when it
// cannot be read), and `regions` is then unspecified.
std::string read_region_file(const std::string& file_name, std::vector<affine_region>& regions);

// The same for text already open; `name` stands for the file in messages.
std::string read_region_stream(std::istream& in, const std::string& name, std::vector<affine_region>& regions);
