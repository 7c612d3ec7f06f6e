// Child processes of the executables: starting a program directly (never
// through a shell) and looking after it until it has ended, with the
// interrupting signals passed on to it.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace orvo::cli {

// How a child process ended.
struct child_end {
    bool timed_out = false;  // stopped after its time ran out
    int status = 0;          // as waitpid reports it, unless timed_out
    int error = 0;           // errno of a failed wait (the status is then unknown)
};

// Starts `args` (the program, by path or by command search, and its
// arguments) directly, never through a shell, with standard input from
// `input` when it is >= 0 and standard output discarded when
// `discard_output`. Returns 0, or the error number of a failed start.
int spawn(std::vector<std::string> args, int input, bool discard_output, pid_t& pid);

// How a child that was not stopped ended, unless with status 0 ("" then).
std::string unsuccessful_end(const child_end& end);

// Looks after one child process, from before it is started until it has
// ended: SIGINT, SIGTERM and SIGHUP are noted rather than acted on
// meanwhile (an ignored one stays ignored), passed on to the child, and once
// the child has ended this process ends by the same signal, as it would
// have without a child.
class child_watch {
public:
    child_watch();
    ~child_watch();
    child_watch(const child_watch&) = delete;
    child_watch& operator=(const child_watch&) = delete;

    // Waits for the child `pid`, at most timeout_seconds when > 0; a child
    // still running then is stopped (SIGTERM, and SIGKILL a moment later).
    child_end wait(pid_t pid, double timeout_seconds);
};

}  // namespace orvo::cli
