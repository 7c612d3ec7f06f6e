// Clashes between the files a command line names.
#include "app/output_paths.h"

#include <filesystem>
#include <system_error>

namespace orvo::cli {

namespace fs = std::filesystem;

namespace {

// The path made absolute, its existing folders' links resolved, and
// normalised; the plain absolute path when that cannot be done.
fs::path resolved(const std::string& path)
{
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (error) return fs::path(path).lexically_normal();
    const fs::path canonical = fs::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : canonical;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b)
{
    // A path to an existing file and one to none cannot name the same file.
    std::error_code error;
    const bool a_exists = fs::exists(a, error), b_exists = fs::exists(b, error);
    if (a_exists || b_exists) return a_exists && b_exists && fs::equivalent(a, b, error);
    return resolved(a) == resolved(b);
}

std::string output_clash(const std::vector<named_file>& outputs, const std::vector<named_file>& inputs)
{
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        const named_file& output = outputs[k];
        if (output.path.empty()) continue;
        for (std::size_t j = 0; j < k; ++j)
            if (!outputs[j].path.empty() && same_file(outputs[j].path, output.path))
                return outputs[j].role + " and " + output.role + " both name " + output.path;
        for (const named_file& input : inputs)
            if (same_file(input.path, output.path))
                return output.role + " would replace " + input.role + " " + input.path;
    }
    return "";
}

}  // namespace orvo::cli
