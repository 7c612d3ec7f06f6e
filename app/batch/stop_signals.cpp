// Stop signals through an atomic record and a self-pipe: the handler does
// nothing but async-signal-safe stores and one write.
#include "app/batch/stop_signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace orvo::batch {

namespace {

std::atomic<int> first_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler stores the signal");
int wake_pipe[2] = {-1, -1};

extern "C" void record_stop(int signal_number)
{
    const int saved_errno = errno;
    int none = 0;
    first_signal.compare_exchange_strong(none, signal_number);
    const char byte = 1;
    // The pipe is non-blocking: when it is full a wake-up is pending anyway.
    [[maybe_unused]] const ssize_t written = write(wake_pipe[1], &byte, 1);
    errno = saved_errno;
}

}  // namespace

bool catch_stop_signals()
{
    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    struct sigaction action {};
    action.sa_handler = record_stop;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP})
        if (sigaction(signal_number, &action, nullptr) != 0) return false;
    return true;
}

int stop_signal_received() { return first_signal.load(); }

stop_request stop_requests() { return {&first_signal, wake_pipe[0]}; }

bool wait_for_stop(int milliseconds)
{
    pollfd wait{wake_pipe[0], POLLIN, 0};
    if (first_signal.load() == 0) poll(&wait, 1, milliseconds);
    return first_signal.load() != 0;
}

}  // namespace orvo::batch
