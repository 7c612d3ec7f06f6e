// Whole-process runs for the benchmark, with their wall time and peak memory.
//
// The system gives a child process the peak memory of the process it was
// forked from as its own starting point, so a child forked by the benchmark
// after it has loaded large images would report the benchmark's memory, not
// its own. The launcher is a process forked once, before the benchmark loads
// anything; it starts every measured run and reports back.
//
//   launcher runs;                      // first thing in main
//   process_run r = runs.run("/usr/bin/orvo", {"-i", "photo.jpg"});
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct process_run {
    double ms;       // wall time from start to exit
    double peak_mb;  // the run's peak resident memory
};

class launcher {
public:
    launcher();
    ~launcher();
    launcher(const launcher&) = delete;
    launcher& operator=(const launcher&) = delete;

    // Runs `program` with `args`, its output discarded. Throws
    // std::runtime_error when the launcher is gone.
    process_run run(const std::string& program, const std::vector<std::string>& args);

private:
    pid_t pid_ = -1;
    int requests_ = -1;  // to the launcher
    int replies_ = -1;   // from it
};
