// Helpers shared by the tests: temporary folders, small images, running an
// executable with a given argument vector and reading what it printed.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

struct run_result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

struct run_options {
    std::string cwd;                     // folder to run in, when not empty
    std::vector<std::string> extra_env;  // "NAME=value" entries added to the environment
    bool unprivileged = false;           // when run as root, drop to the user nobody first, so
                                         // that file permissions apply
    long file_size_limit = -1;           // when >= 0, the largest file the program may write
                                         // (a full disk, as the program sees it)
    long memory_limit = -1;              // when >= 0, the most address space (bytes) it may use
    bool closed_output = false;          // standard output a pipe nobody reads any more
    run_options(std::string folder = "", std::vector<std::string> env = {}, bool drop_root = false)
        : cwd(std::move(folder)), extra_env(std::move(env)), unprivileged(drop_root)
    {
    }
};

// True in a build with the address sanitizer, whose shadow memory rules out
// limits on the address space.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED_BUILD = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool SANITIZED_BUILD = true;
#else
constexpr bool SANITIZED_BUILD = false;
#endif
#else
constexpr bool SANITIZED_BUILD = false;
#endif

// Runs `program` (a path, or a name found on PATH) with `args` and standard
// input closed.
run_result run_program(const std::string& program, const std::vector<std::string>& args,
                       const run_options& options = {});

// Runs the built detector.
run_result run_orvo(const std::vector<std::string>& args, const run_options& options = {});

// A fresh empty folder under the system's temporary folder, removed with
// everything in it when the object is destroyed.
struct temp_dir {
    temp_dir();  // open to every user, so that unprivileged runs can use it
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string path;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& name);
void write_file(const std::string& name, const std::string& text);
bool file_exists(const std::string& name);

// The names in a folder, sorted.
std::vector<std::string> list_dir(const std::string& path);

// A colour image with a few filled shapes (bright and dark discs, a
// rectangle and a rotated ellipse) on a soft gradient: closed edges for the
// detector to find.
cv::Mat shapes_image();

// The folder of sample photos, or "" when it is not present.
std::string shared_data_dir();
