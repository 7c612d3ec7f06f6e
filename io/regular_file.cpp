// Whole-file reads of regular files only.
#include "io/regular_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvo::detail {

namespace {

// Closes the descriptor however the read ends.
struct file_descriptor {
    int fd;
    ~file_descriptor()
    {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

std::string read_regular_file(const std::string& path, std::string& contents)
{
    contents.clear();
    // Opened without blocking, so that opening a FIFO with no writer returns
    // at once; then refused unless regular.
    const file_descriptor file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0) return std::strerror(errno);
    struct stat info {};
    if (fstat(file.fd, &info) != 0) return std::strerror(errno);
    if (!S_ISREG(info.st_mode)) return S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : "not a regular file";
    contents.resize(static_cast<std::size_t>(info.st_size) + 1);  // one more, to see the end at once
    std::size_t done = 0;
    for (;;) {
        if (done == contents.size()) contents.resize(done + 65536);  // the file grew, or reports no size
        const ssize_t got = read(file.fd, &contents[done], contents.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::strerror(errno);
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    contents.resize(done);
    return std::string();
}

}  // namespace orvo::detail
