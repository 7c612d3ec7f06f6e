// Files named on a command line, checked before any work: no output the
// same file as another output or as an input.
#pragma once

#include <string>
#include <vector>

namespace orvo::cli {

// A file named on the command line, and what names it: the option ("-o",
// "--json") or the argument ("IMAGE1").
struct named_file {
    std::string role;
    std::string path;
};

// Whether two paths name the same file: one existing file (the same device
// and inode, whatever links lead to it), or, when one is missing, the same
// path once made absolute with the links of its existing folders resolved.
bool same_file(const std::string& a, const std::string& b);

// The first output that is the same file as an earlier output or as an
// input, as a message ("-o and --json both name m.json", "-o would replace
// IMAGE1 a.png"); "" when there is none. Outputs whose path is empty are
// not asked for and take no part.
std::string output_clash(const std::vector<named_file>& outputs, const std::vector<named_file>& inputs);

}  // namespace orvo::cli
