// Processor time of the process (all its threads) and of its parallel
// sections: a clock that times stages one after another in wall and
// processor milliseconds, and the running sum of the processor time spent
// while a parallel section (run_jobs, run_in_shares, run_in_turn) is open,
// from which a benchmark reads the share of a detection that threads can
// divide (Amdahl's p).
//
//   const double before = parallel_processor_ms();
//   const double cpu = process_cpu_ms();
//   detect(...);  // on one thread
//   p = (parallel_processor_ms() - before) / (process_cpu_ms() - cpu);
#pragma once

#include <chrono>
#include <mutex>
#include <time.h>

namespace orvo::detail {

// Processor time of the whole process, all its threads, in milliseconds.
inline double process_cpu_ms()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// A stage's wall and processor milliseconds. The processor time is the
// process's: on one thread, the stage's own; while other threads of the
// process work beside the stage, theirs too.
struct stage_lap {
    double wall_ms = 0, cpu_ms = 0;
};

// Times stages one after another: each lap is the time since the last one
// (or since the clock started).
class stage_clock {
public:
    stage_lap lap()
    {
        const auto now = std::chrono::steady_clock::now();
        const double cpu = process_cpu_ms();
        const stage_lap l{std::chrono::duration<double, std::milli>(now - wall_).count(), cpu - cpu_};
        wall_ = now;
        cpu_ = cpu;
        return l;
    }

private:
    std::chrono::steady_clock::time_point wall_ = std::chrono::steady_clock::now();
    double cpu_ = process_cpu_ms();
};

// The processor time spent while at least one parallel section was open.
// Sections nest (a job of one may open another, on any thread) and may be
// open on several threads at once: the clock is read only when the first
// opens and the last closes, so no time is counted twice.
struct parallel_sections {
    std::mutex lock;
    int open = 0;
    double opened_at = 0;  // process_cpu_ms() when `open` became 1
    double closed_ms = 0;  // the sum over the windows that have closed
};

inline parallel_sections& parallel_section_record()
{
    static parallel_sections record;
    return record;
}

// Processor milliseconds spent inside parallel sections since the process
// started, including the time so far of a window still open.
inline double parallel_processor_ms()
{
    parallel_sections& r = parallel_section_record();
    const std::lock_guard<std::mutex> hold(r.lock);
    return r.closed_ms + (r.open > 0 ? process_cpu_ms() - r.opened_at : 0);
}

// Counts the processor time of its lifetime as parallel (see
// parallel_sections).
class parallel_section {
public:
    parallel_section()
    {
        parallel_sections& r = parallel_section_record();
        const std::lock_guard<std::mutex> hold(r.lock);
        if (r.open++ == 0) r.opened_at = process_cpu_ms();
    }
    ~parallel_section()
    {
        parallel_sections& r = parallel_section_record();
        const std::lock_guard<std::mutex> hold(r.lock);
        if (--r.open == 0) r.closed_ms += process_cpu_ms() - r.opened_at;
    }
    parallel_section(const parallel_section&) = delete;
    parallel_section& operator=(const parallel_section&) = delete;
};

}  // namespace orvo::detail
