// Stopping orvo-batch on SIGINT, SIGTERM and SIGHUP, whichever thread the
// kernel delivers them to (threads that a library started before main
// included): the handler only records the first signal and wakes whoever
// waits, and every phase of the run looks at the record.
#pragma once

#include "batch/inputs.h"

namespace orvo::batch {

// Installs the handlers (restarting interrupted system calls). Returns false
// when they could not be installed.
bool catch_stop_signals();

// The first stop signal received, or 0.
int stop_signal_received();

// What the phases watch: the record, and a descriptor readable once a signal
// arrived.
stop_request stop_requests();

// Waits until a stop signal arrives or `milliseconds` pass; true when one
// has arrived.
bool wait_for_stop(int milliseconds);

}  // namespace orvo::batch
