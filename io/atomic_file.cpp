// Complete-or-nothing output files through a temporary file and rename.
#include "io/atomic_file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The temporary file being written, removed if the process is interrupted or
// terminated meanwhile (a signal handler can only read a plain buffer).
char pending[4096];
volatile std::sig_atomic_t has_pending = 0;
constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void remove_pending_and_reraise(int signal_number)
{
    if (has_pending) unlink(pending);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Installs the clean-up for the lifetime of the object, restoring the
// previous handlers afterwards.
struct pending_file {
    struct sigaction previous[4];
    explicit pending_file(const char* name)
    {
        if (std::strlen(name) >= sizeof pending) return;
        std::strcpy(pending, name);
        struct sigaction action {};
        action.sa_handler = remove_pending_and_reraise;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 4; ++i) sigaction(CLEANUP_SIGNALS[i], &action, &previous[i]);
        has_pending = 1;
    }
    ~pending_file()
    {
        if (!has_pending) return;
        for (int i = 0; i < 4; ++i) sigaction(CLEANUP_SIGNALS[i], &previous[i], nullptr);
        has_pending = 0;
    }
};

}  // namespace

std::string write_file_atomically(const std::string& file_name, const std::function<void(std::FILE*)>& write)
{
    if (access(file_name.c_str(), F_OK) == 0 && access(file_name.c_str(), W_OK) != 0) return std::strerror(errno);

    std::vector<char> temp_name(file_name.begin(), file_name.end());
    const char suffix[] = ".tmp-XXXXXX";
    temp_name.insert(temp_name.end(), suffix, suffix + sizeof suffix);
    // Signals that would end the process are held while the temporary file
    // is created and its name recorded.
    sigset_t all, previous_mask;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous_mask);
    const int fd = mkstemp(temp_name.data());
    if (fd < 0) {
        const int error = errno;
        sigprocmask(SIG_SETMASK, &previous_mask, nullptr);
        return std::strerror(error);
    }
    pending_file cleanup(temp_name.data());
    sigprocmask(SIG_SETMASK, &previous_mask, nullptr);

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
