// What the classic executables do around their work: output that fails
// (and is reported) rather than ending the process when standard output is
// closed or a file size limit is reached; temporary output files removed
// when a signal ends the process; memory exhaustion, whether the standard
// library or the image library reports it, ending the run with
// "NAME: out of memory" and status 1; any other exception ending it with a
// message and the executable's status for a failed run; and an end that
// runs no library's exit code.
#pragma once

namespace orvo::cli {

// Runs `run` and ends the process with its status (see end_process). An
// exception that `run` lets through (the library's, for a case it did not
// foresee) ends the run with "NAME: " and its message and
// `failure_status`, the executable's status for a run that failed.
[[noreturn]] void run_program(const char* name, int (*run)(int, char**), int argc, char** argv,
                              int failure_status);

// Flushes the standard streams and ends the process at once with `status`.
// The exit handlers and destructors of the loaded libraries are not run:
// some of them can hang (a numeric library joining a thread of its own
// that loops on an allocation refused under an address-space limit), and
// every file of ours is complete or removed by then.
[[noreturn]] void end_process(int status);

}  // namespace orvo::cli
