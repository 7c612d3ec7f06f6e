// Complete-or-nothing output files through a temporary file and rename, with
// a signal-safe table of the temporary files being written.
#include "io/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary files being written, one slot each, read by the signal
// handler: a slot's folder and name are only read once its state says they
// are complete, and only changed while it says otherwise.
enum slot_state : int { free_slot, claimed_slot, ready_slot };
constexpr int SLOT_COUNT = 64;
constexpr char TEMPORARY_PREFIX[] = ".orvo-tmp-";
constexpr int RANDOM_CHARACTERS = 6;

struct pending_slot {
    std::atomic<int> state{free_slot};
    int folder = -1;  // the folder's descriptor, for unlinkat
    char name[sizeof TEMPORARY_PREFIX + RANDOM_CHARACTERS] = {};
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slot states");
pending_slot pending[SLOT_COUNT];
// Set once a signal is ending the process; no writer creates its file
// after that, and the handler waits for the creations under way (counted in
// `creating`) before it removes the files, so that none is created after.
std::atomic<int> ending{0};
std::atomic<int> creating{0};

extern "C" void remove_pending_and_reraise(int signal_number)
{
    ending.store(1);
    // Bounded: the creation under way may be in this very thread.
    for (int k = 0; k < 100000 && creating.load() > 0; ++k) sched_yield();
    for (pending_slot& slot : pending)
        if (slot.state.load(std::memory_order_acquire) == ready_slot) unlinkat(slot.folder, slot.name, 0);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(signal_number, &default_action, nullptr);
    raise(signal_number);  // delivered, with its default action, once this handler returns
}

// Every signal whose default action ends the process (SIGKILL aside, which
// cannot be caught).
template <class Function>
void for_each_ending_signal(Function function)
{
    for (int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2,
                              SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGSYS})
        function(signal_number);
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) function(signal_number);
}

// The clean-up handler, installed while at least one file is being written
// and only for signals whose action is the default one (an ignored signal
// stays ignored, a caller's own handler stays in place).
std::mutex handlers_mutex;
int writers = 0;
struct sigaction previous_actions[NSIG];
bool replaced[NSIG];

struct cleanup_handlers {
    cleanup_handlers()
    {
        const std::lock_guard<std::mutex> lock(handlers_mutex);
        if (writers++ > 0) return;
        struct sigaction cleanup {};
        cleanup.sa_handler = remove_pending_and_reraise;
        sigfillset(&cleanup.sa_mask);
        for_each_ending_signal([&](int signal_number) {
            sigaction(signal_number, nullptr, &previous_actions[signal_number]);
            const struct sigaction& previous = previous_actions[signal_number];
            replaced[signal_number] = !(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_DFL;
            if (replaced[signal_number]) sigaction(signal_number, &cleanup, nullptr);
        });
    }
    ~cleanup_handlers()
    {
        const std::lock_guard<std::mutex> lock(handlers_mutex);
        if (--writers > 0) return;
        for_each_ending_signal([](int signal_number) {
            if (replaced[signal_number]) sigaction(signal_number, &previous_actions[signal_number], nullptr);
        });
    }
    cleanup_handlers(const cleanup_handlers&) = delete;
    cleanup_handlers& operator=(const cleanup_handlers&) = delete;
};

// Six characters of a name no other writer is likely to pick.
void random_name(char* name)
{
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      (static_cast<std::uint64_t>(getpid()) << 40) ^ (counter.fetch_add(1) * 0x9e3779b97f4a7c15u);
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    x ^= x >> 31;
    const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::memcpy(name, TEMPORARY_PREFIX, sizeof TEMPORARY_PREFIX - 1);
    for (int k = 0; k < RANDOM_CHARACTERS; ++k, x /= 62) name[sizeof TEMPORARY_PREFIX - 1 + k] = letters[x % 62];
    name[sizeof TEMPORARY_PREFIX - 1 + RANDOM_CHARACTERS] = '\0';
}

// A temporary file in the target's folder, created exclusively under a
// name recorded in a slot first, removed when the object ends unless it
// was renamed into place.
class temporary_file {
public:
    explicit temporary_file(int folder) : folder_(folder)
    {
        for (;;) {
            for (pending_slot& slot : pending) {
                int expected = free_slot;
                if (slot.state.compare_exchange_strong(expected, claimed_slot)) {
                    slot_ = &slot;
                    slot_->folder = folder;
                    return;
                }
            }
            sched_yield();  // more concurrent writers than slots: wait for one to end
        }
    }
    ~temporary_file()
    {
        if (created_ && !renamed_) unlinkat(folder_, slot_->name, 0);
        slot_->state.store(free_slot, std::memory_order_release);
    }
    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;

    // Creates the file; returns its descriptor, or -1 with errno set.
    int create(mode_t mode)
    {
        for (int attempt = 0; attempt < 100; ++attempt) {
            slot_->state.store(claimed_slot, std::memory_order_release);
            random_name(slot_->name);
            slot_->state.store(ready_slot, std::memory_order_release);
            creating.fetch_add(1);
            if (ending.load() != 0) {
                creating.fetch_sub(1);
                for (;;) pause();  // until the signal being handled ends the process
            }
            const int fd = openat(folder_, slot_->name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
            creating.fetch_sub(1);
            if (fd >= 0 || errno != EEXIST) {
                created_ = fd >= 0;
                return fd;
            }
        }
        return -1;
    }

    bool rename_to(const std::string& name)
    {
        renamed_ = renameat(folder_, slot_->name, folder_, name.c_str()) == 0;
        return renamed_;
    }

private:
    int folder_;
    pending_slot* slot_ = nullptr;
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

}  // namespace

std::string write_file_atomically(const std::string& file_name, const std::function<void(std::FILE*)>& write)
{
    write_target target;
    const std::string refusal = find_target(file_name, target);
    if (!refusal.empty()) return refusal;
    const folder_descriptor folder{open(target.folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd < 0) return std::strerror(errno);

    const cleanup_handlers handlers;
    temporary_file temporary(folder.fd);
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
    int error = 0;
    if (std::fflush(fp) != 0 || std::ferror(fp)) error = errno ? errno : EIO;
    if (std::fclose(fp) != 0 && error == 0) error = errno ? errno : EIO;
    if (error == 0 && !temporary.rename_to(target.name)) error = errno;
    return error == 0 ? std::string() : std::strerror(error);
}

void ignore_signals_for_file_output()
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, nullptr);
    sigaction(SIGPIPE, &ignore, nullptr);
}
