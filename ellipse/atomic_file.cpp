// Complete-or-nothing output files through a temporary file and rename.
#include "ellipse/atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::string write_file_atomically(const std::string& file_name, const std::function<void(std::FILE*)>& write)
{
    if (access(file_name.c_str(), F_OK) == 0 && access(file_name.c_str(), W_OK) != 0) return std::strerror(errno);

    std::vector<char> temp_name(file_name.begin(), file_name.end());
    const char suffix[] = ".tmp-XXXXXX";
    temp_name.insert(temp_name.end(), suffix, suffix + sizeof suffix);
    const int fd = mkstemp(temp_name.data());
    if (fd < 0) return std::strerror(errno);

    // Give the file the permissions a plain fopen would have given it.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    std::FILE* fp = fdopen(fd, "w");
    if (fp == nullptr) {
        const int error = errno;
        close(fd);
        unlink(temp_name.data());
        return std::strerror(error);
    }
    errno = 0;
    write(fp);
    int error = 0;
    if (std::fflush(fp) != 0 || std::ferror(fp)) error = errno ? errno : EIO;
    if (std::fclose(fp) != 0 && error == 0) error = errno ? errno : EIO;
    if (error == 0 && std::rename(temp_name.data(), file_name.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(temp_name.data());
        return std::strerror(error);
    }
    return std::string();
}
