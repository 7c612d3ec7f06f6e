// Complete-or-nothing output files: a temporary file in the target's folder,
// written, synced and renamed into place.
#include "io/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvo::detail {
namespace {

constexpr char TEMPORARY_PREFIX[] = ".orvo-tmp-";
constexpr int RANDOM_CHARACTERS = 6;
constexpr int NAME_ATTEMPTS = 100;

std::atomic<const temporary_file_hooks*> installed_hooks{nullptr};

// Six random characters after the prefix.
void random_name(char* name)
{
    std::uint64_t x = 0;
    if (getrandom(&x, sizeof x, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof x))
        x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
            (static_cast<std::uint64_t>(getpid()) << 40);
    const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::memcpy(name, TEMPORARY_PREFIX, sizeof TEMPORARY_PREFIX - 1);
    for (int k = 0; k < RANDOM_CHARACTERS; ++k, x /= 62) name[sizeof TEMPORARY_PREFIX - 1 + k] = letters[x % 62];
    name[sizeof TEMPORARY_PREFIX - 1 + RANDOM_CHARACTERS] = '\0';
}

// A temporary file in the target's folder, created exclusively, removed
// when the object ends unless it was renamed into place.
class temporary_file {
public:
    temporary_file(int folder, const temporary_file_hooks* hooks) : folder_(folder), hooks_(hooks) {}
    ~temporary_file()
    {
        if (created_ && !renamed_) unlinkat(folder_, name_, 0);
        forget();
    }
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;

    // Creates the file; returns its descriptor, or -1 with errno set.
    int create(mode_t mode)
    {
        for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
            random_name(name_);
            if (hooks_) token_ = hooks_->announce(folder_, name_);
            const int fd = openat(folder_, name_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
            if (hooks_) call_keeping_errno(hooks_->created, token_);
            if (fd >= 0 || errno != EEXIST) {
                created_ = fd >= 0;
                return fd;
            }
            forget();
        }
        return -1;
    }

    bool rename_to(const std::string& name)
    {
        renamed_ = renameat(folder_, name_, folder_, name.c_str()) == 0;
        return renamed_;
    }

private:
    void forget()
    {
        if (hooks_) call_keeping_errno(hooks_->forget, token_);
        token_ = -1;
    }

    static void call_keeping_errno(void (*hook)(int), int token)
    {
        const int error = errno;
        if (token >= 0) hook(token);
        errno = error;
    }

    int folder_;
    const temporary_file_hooks* hooks_;
    int token_ = -1;
    char name_[sizeof TEMPORARY_PREFIX + RANDOM_CHARACTERS] = {};
    bool created_ = false;
    bool renamed_ = false;
};

// Where the file goes: the folder, the name in it, and the file it
// replaces, if any.
struct write_target {
    std::string folder;
    std::string name;
    bool exists = false;
    struct stat existing {};
};

void split_path(const std::string& path, write_target& target)
{
    const std::size_t slash = path.rfind('/');
    target.folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    target.name = slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string find_target(const std::string& file_name, write_target& target)
{
    struct stat link {};
    if (lstat(file_name.c_str(), &link) != 0) {
        if (errno != ENOENT) return std::strerror(errno);
        split_path(file_name, target);
        return target.name.empty() ? std::strerror(EISDIR) : std::string();
    }
    if (stat(file_name.c_str(), &target.existing) != 0) return "not a regular file (a symbolic link to nothing)";
    if (!S_ISREG(target.existing.st_mode)) return "not a regular file";
    if (access(file_name.c_str(), W_OK) != 0) return std::strerror(errno);
    target.exists = true;
    if (!S_ISLNK(link.st_mode)) {
        split_path(file_name, target);
        return std::string();
    }
    char* resolved = realpath(file_name.c_str(), nullptr);
    if (resolved == nullptr) return std::strerror(errno);
    split_path(resolved, target);
    std::free(resolved);
    return std::string();
}

// Gives the new file the owner, group and mode of the one it replaces, as
// far as the process may.
void keep_owner_and_mode(int fd, const struct stat& existing)
{
    if (fchown(fd, existing.st_uid, existing.st_gid) != 0) {
        const int group_only = fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
        static_cast<void>(group_only);  // not permitted either: the writer's group stays
    }
    fchmod(fd, existing.st_mode & 07777);
}

// Closes a descriptor however the write ends.
struct folder_descriptor {
    int fd;
    ~folder_descriptor()
    {
        if (fd >= 0) close(fd);
    }
};

// Flushes, syncs and closes the stream; the first error number, or 0.
int finish(std::FILE* fp)
{
    int error = 0;
    if (std::fflush(fp) != 0 || std::ferror(fp)) error = errno ? errno : EIO;
    if (error == 0 && fsync(fileno(fp)) != 0 && errno != EINVAL && errno != EROFS) error = errno;
    if (std::fclose(fp) != 0 && error == 0) error = errno ? errno : EIO;
    return error;
}

}  // namespace

std::string write_file_atomically(const std::string& file_name, const std::function<void(std::FILE*)>& write)
{
    write_target target;
    const std::string refusal = find_target(file_name, target);
    if (!refusal.empty()) return refusal;
    const folder_descriptor folder{open(target.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd < 0) return std::strerror(errno);

    temporary_file temporary(folder.fd, installed_hooks.load());
    const int fd = temporary.create(target.exists ? 0600 : 0666);
    if (fd < 0) return std::strerror(errno);
    if (target.exists) keep_owner_and_mode(fd, target.existing);
    std::FILE* fp = fdopen(fd, "w");
    if (fp == nullptr) {
        const int error = errno;
        close(fd);
        return std::strerror(error);
    }
    errno = 0;
    try {
        write(fp);
    } catch (...) {
        std::fclose(fp);
        throw;
    }
    int error = finish(fp);
    if (error == 0 && !temporary.rename_to(target.name)) error = errno;
    return error == 0 ? std::string() : std::strerror(error);
}

void set_temporary_file_hooks(const temporary_file_hooks* hooks)
{
    installed_hooks.store(hooks);
}

void ignore_signals_for_file_output()
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, nullptr);
    sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace orvo::detail
