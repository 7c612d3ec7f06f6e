// The table of temporary files being written, read by the signal handler
// that removes them, and the hooks that keep it.
#include "app/signal_cleanup.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <sched.h>
#include <unistd.h>

#include "io/atomic_file.h"

namespace orvo::detail {
namespace {

// One slot per temporary file being written: its folder and name are only
// read by the handler once the slot's state says they are complete, and
// only changed while it says otherwise.
enum slot_state : int { free_slot, claimed_slot, ready_slot };
constexpr int SLOT_COUNT = 64;
constexpr std::size_t NAME_SIZE = 32;

struct pending_slot {
    std::atomic<int> state{free_slot};
    int folder = -1;  // the folder's descriptor, for unlinkat
    char name[NAME_SIZE] = {};
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slot states");
pending_slot pending[SLOT_COUNT];

// Set once a signal is ending the process: no file is announced after it.
// The handler waits for announcements under way (counted in `announcing`)
// to finish creating their files, so that none is created after it has
// removed them.
std::atomic<int> ending{0};
std::atomic<int> announcing{0};
constexpr int CREATION_WAIT_ROUNDS = 100000;

extern "C" void remove_pending_and_reraise(int signal_number)
{
    ending.store(1);
    // Bounded: the creation under way may be in this very thread.
    for (int k = 0; k < CREATION_WAIT_ROUNDS && announcing.load() > 0; ++k) sched_yield();
    for (pending_slot& slot : pending)
        if (slot.state.load(std::memory_order_acquire) == ready_slot) unlinkat(slot.folder, slot.name, 0);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(signal_number, &default_action, nullptr);
    raise(signal_number);  // delivered, with its default action, once this handler returns
}

// Records the file in a free slot (waiting for one when every slot is in
// use); the file is created right after, counted in `announcing` until its
// creation has been tried.
int announce(int folder, const char* name)
{
    if (std::strlen(name) >= NAME_SIZE) return -1;
    for (;;) {
        for (int i = 0; i < SLOT_COUNT; ++i) {
            int expected = free_slot;
            if (!pending[i].state.compare_exchange_strong(expected, claimed_slot)) continue;
            pending[i].folder = folder;
            std::strcpy(pending[i].name, name);
            announcing.fetch_add(1);
            pending[i].state.store(ready_slot, std::memory_order_release);
            if (ending.load() != 0)
                for (;;) pause();  // until the signal being handled ends the process
            return i;
        }
        sched_yield();  // more concurrent writers than slots: wait for one to end
    }
}

void created(int)
{
    announcing.fetch_sub(1);
}

void forget(int token)
{
    pending[token].state.store(free_slot, std::memory_order_release);
}

const temporary_file_hooks slot_hooks{announce, created, forget};

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

}  // namespace

void remove_temporary_files_on_signals()
{
    set_temporary_file_hooks(&slot_hooks);
    struct sigaction cleanup {};
    cleanup.sa_handler = remove_pending_and_reraise;
    sigfillset(&cleanup.sa_mask);
    for_each_ending_signal([&](int signal_number) {
        struct sigaction previous {};
        sigaction(signal_number, nullptr, &previous);
        if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_DFL) sigaction(signal_number, &cleanup, nullptr);
    });
}

}  // namespace orvo::detail
