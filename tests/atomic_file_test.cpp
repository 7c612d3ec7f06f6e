// The atomic writer: special targets refused and untouched, mode, owner and
// links kept, long names, no temporary file left by failures or signals,
// concurrent writers.
#include <gtest/gtest.h>

#include <csignal>
#include <pwd.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "app/signal_cleanup.h"
#include "io/atomic_file.h"
#include "tests/test_support.h"

using namespace orvo::detail;

namespace {

std::string write_text(const std::string& path, const std::string& text)
{
    return write_file_atomically(path, [&](std::FILE* fp) { std::fputs(text.c_str(), fp); });
}

mode_t file_type(const std::string& path)
{
    struct stat info {};
    lstat(path.c_str(), &info);
    return info.st_mode & S_IFMT;
}

// Runs `body` in a child process; returns its wait status.
template <class Body>
int in_child(Body body)
{
    const pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

}  // namespace

TEST(AtomicFile, TargetsThatAreNotRegularFilesAreRefusedAndKept)
{
    temp_dir dir;
    mkfifo((dir / "fifo").c_str(), 0600);
    mkdir((dir / "folder").c_str(), 0700);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (dir / "socket").c_str());
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    symlink("folder", (dir / "link-to-folder").c_str());
    symlink("missing", (dir / "dangling").c_str());
    std::vector<std::string> targets = {"fifo", "folder", "socket", "link-to-folder", "dangling"};
    if (geteuid() == 0 && mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) targets.push_back("null");
    const std::vector<std::string> before = list_dir(dir.path);
    for (const std::string& target : targets) {
        const mode_t type = file_type(dir / target);
        EXPECT_NE(write_text(dir / target, "text\n"), "") << target;
        EXPECT_EQ(file_type(dir / target), type) << target;
    }
    EXPECT_EQ(list_dir(dir.path), before);  // no temporary file left
    close(listener);
}

TEST(AtomicFile, ModeOwnerAndLinksAreKept)
{
    temp_dir dir;
    write_file(dir / "private", "old\n");
    chmod((dir / "private").c_str(), 0600);
    ASSERT_EQ(write_text(dir / "private", "new\n"), "");
    struct stat info {};
    stat((dir / "private").c_str(), &info);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(read_file(dir / "private"), "new\n");

    const passwd* nobody = getpwnam("nobody");
    if (geteuid() == 0 && nobody != nullptr) {
        write_file(dir / "theirs", "old\n");
        ASSERT_EQ(chown((dir / "theirs").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        ASSERT_EQ(write_text(dir / "theirs", "new\n"), "");
        stat((dir / "theirs").c_str(), &info);
        EXPECT_EQ(info.st_uid, nobody->pw_uid);
        EXPECT_EQ(info.st_gid, nobody->pw_gid);
    }

    // A link to a regular file stays a link; the file it names is replaced.
    mkdir((dir / "elsewhere").c_str(), 0755);
    write_file(dir / "elsewhere/real", "old\n");
    symlink("elsewhere/real", (dir / "link").c_str());
    ASSERT_EQ(write_text(dir / "link", "new\n"), "");
    EXPECT_EQ(file_type(dir / "link"), static_cast<mode_t>(S_IFLNK));
    EXPECT_EQ(read_file(dir / "elsewhere/real"), "new\n");
    EXPECT_EQ(list_dir(dir / "elsewhere"), std::vector<std::string>{"real"});
}

TEST(AtomicFile, LongNamesWorkAndFailuresLeaveNoTemporaryFile)
{
    temp_dir dir;
    const std::string longest = std::string(250, 'n') + ".orvo";  // 255 bytes, the most a name may have
    ASSERT_EQ(write_text(dir / longest, "text\n"), "");
    EXPECT_EQ(read_file(dir / longest), "text\n");
    EXPECT_THROW(write_file_atomically(dir / longest, [](std::FILE* fp) {
                     std::fputs("partial", fp);
                     throw std::runtime_error("the writer failed");
                 }),
                 std::runtime_error);
    EXPECT_EQ(read_file(dir / longest), "text\n");
    EXPECT_NE(write_text(dir / (longest + "x"), "text\n"), "");  // too long a name
    EXPECT_NE(write_text(dir / "missing/file", "text\n"), "");
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{longest});
}

TEST(AtomicFile, SignalsDuringAWriteLeaveNoTemporaryFileOnceCleanupIsChosen)
{
    temp_dir dir;
    const std::string name = dir / "out.orvo";
    write_file(name, "old\n");
    for (int signal_number : {SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF,
                              SIGABRT, SIGRTMIN + 2}) {
        const int status = in_child([&] {
            remove_temporary_files_on_signals();
            write_file_atomically(name, [signal_number](std::FILE* fp) {
                std::fputs("0.000000\n5\n1 2 3", fp);
                std::fflush(fp);
                raise(signal_number);
            });
        });
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << signal_number;
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"out.orvo"}) << signal_number;
    }
    EXPECT_EQ(read_file(name), "old\n");
    // An ignored signal stays ignored during the write.
    const int status = in_child([&] {
        ignore_signals_for_file_output();
        remove_temporary_files_on_signals();
        write_file_atomically(name, [](std::FILE* fp) {
            raise(SIGPIPE);
            raise(SIGXFSZ);
            std::fputs("new\n", fp);
        });
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(name), "new\n");
}

TEST(AtomicFile, ConcurrentWritersAllSucceed)
{
    temp_dir dir;
    const auto write_many = [&](int thread, int files, bool interrupt) {
        for (int k = 0; k < files; ++k) {
            const std::string name = dir / ("t" + std::to_string(thread) + "-" + std::to_string(k));
            const std::string error = write_file_atomically(name, [&](std::FILE* fp) {
                std::fprintf(fp, "%d %d\n", thread, k);
                if (interrupt && k == files / 2) raise(SIGTERM);
            });
            if (!error.empty() || read_file(name) != std::to_string(thread) + " " + std::to_string(k) + "\n") return false;
        }
        return true;
    };
    // Writing changes nothing process-wide: a host's own handler stays in
    // place while and after threads write, and the file mode mask too.
    struct sigaction host_action {}, previous {};
    host_action.sa_handler = [](int) {};
    sigaction(SIGTERM, &host_action, &previous);
    const mode_t mask = umask(022);
    umask(mask);
    std::vector<std::thread> threads;
    std::vector<char> succeeded(8);
    for (int t = 0; t < 8; ++t) threads.emplace_back([&, t] { succeeded[t] = write_many(t, 50, false); });
    struct sigaction during {};
    sigaction(SIGTERM, nullptr, &during);
    for (std::thread& thread : threads) thread.join();
    struct sigaction after {};
    sigaction(SIGTERM, &previous, &after);
    EXPECT_EQ(during.sa_handler, host_action.sa_handler);
    EXPECT_EQ(after.sa_handler, host_action.sa_handler);
    EXPECT_EQ(umask(mask), mask);
    EXPECT_EQ(std::count(succeeded.begin(), succeeded.end(), 1), 8);
    EXPECT_EQ(list_dir(dir.path).size(), 400u);  // and no temporary file

    // With the executables' clean-up, a signal while eight threads write
    // removes every pending file.
    const int status = in_child([&] {
        remove_temporary_files_on_signals();
        std::vector<std::thread> writers;
        for (int t = 0; t < 8; ++t) writers.emplace_back([&, t] { write_many(100 + t, 200, t == 3); });
        for (std::thread& thread : writers) thread.join();
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    for (const std::string& file : list_dir(dir.path)) EXPECT_EQ(file.find(".orvo-tmp-"), std::string::npos) << file;
}
