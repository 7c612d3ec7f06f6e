// Starting child processes and watching them, with the interrupting
// signals noted meanwhile and passed on.
#include "app/child_process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace orvo::cli {

namespace {

constexpr int INTERRUPTING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int SIGNAL_COUNT = 3;
struct sigaction saved_actions[SIGNAL_COUNT];
volatile std::sig_atomic_t noted_signal = 0;

extern "C" void note_signal(int signal_number)
{
    noted_signal = signal_number;
}

void restore_signal_actions()
{
    for (int i = 0; i < SIGNAL_COUNT; ++i) sigaction(INTERRUPTING_SIGNALS[i], &saved_actions[i], nullptr);
}

// Ends the process by the noted signal, as its own action does.
[[noreturn]] void end_by_noted_signal()
{
    const int signal_number = noted_signal;
    restore_signal_actions();
    std::raise(signal_number);
    _exit(128 + signal_number);  // the signal's action did not end the process
}

// Sends `signal_number` to the child, and SIGKILL when it is still running
// two seconds later; reaps it.
void stop_child(pid_t pid, int signal_number)
{
    kill(pid, signal_number);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

// Starts `args` (the program, by path or by command search, and its
// arguments) directly, never through a shell, with standard input from
// `input` when it is >= 0 and standard output discarded when
// `discard_output`. Returns 0, or the error number of a failed start.
int spawn(std::vector<std::string> args, int input, bool discard_output, pid_t& pid)
{
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input >= 0) posix_spawn_file_actions_adddup2(&actions, input, 0);
    if (discard_output) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::cout.flush();
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

// How a child that was not stopped ended, unless with status 0 ("" then).
std::string unsuccessful_end(const child_end& end)
{
    if (end.error != 0) return std::string("could not be waited for: ") + std::strerror(end.error);
    if (WIFSIGNALED(end.status)) return "was killed by signal " + std::to_string(WTERMSIG(end.status));
    if (WIFEXITED(end.status) && WEXITSTATUS(end.status) != 0)
        return "ended with status " + std::to_string(WEXITSTATUS(end.status));
    return "";
}

child_watch::child_watch()
{
    noted_signal = 0;
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < SIGNAL_COUNT; ++i) {
        sigaction(INTERRUPTING_SIGNALS[i], &action, &saved_actions[i]);
        if (saved_actions[i].sa_handler == SIG_IGN) sigaction(INTERRUPTING_SIGNALS[i], &saved_actions[i], nullptr);
    }
}

child_watch::~child_watch()
{
    if (noted_signal != 0) end_by_noted_signal();
    restore_signal_actions();
}

child_end child_watch::wait(pid_t pid, double timeout_seconds)
{
    const auto start = std::chrono::steady_clock::now();
    auto pause = std::chrono::milliseconds(1);
    child_end end;
    for (;;) {
        const pid_t done = waitpid(pid, &end.status, WNOHANG);
        if (done == pid) return end;
        if (done < 0 && errno != EINTR) {
            end.error = errno;
            return end;
        }
        if (noted_signal != 0) {
            stop_child(pid, noted_signal);
            end_by_noted_signal();
        }
        if (timeout_seconds > 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= timeout_seconds) {
            stop_child(pid, SIGTERM);
            end.timed_out = true;
            return end;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

}  // namespace orvo::cli
