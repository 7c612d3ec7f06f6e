// The processor-time accounting the benchmark reads: parallel sections
// counted once however they nest and on whichever threads, sections closed
// by an exception, and the stages' processor times of a detection.
#include <gtest/gtest.h>
#include <stdexcept>
#include <time.h>

#include "orvo/orvo.h"
#include "parallel/jobs.h"
#include "parallel/processor_time.h"
#include "tests/generated_image.h"

namespace {

double thread_cpu_ms()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Keeps the calling thread busy for `ms` of its own processor time.
void spin(double ms)
{
    const double until = thread_cpu_ms() + ms;
    volatile unsigned sink = 0;
    while (thread_cpu_ms() < until)
        for (int k = 0; k < 1000; ++k) sink = sink + k;
}

using orvo::detail::parallel_processor_ms;
using orvo::detail::process_cpu_ms;

}  // namespace

TEST(ParallelSections, NestedSectionsOnOtherThreadsCountOnce)
{
    // Two jobs, each on its own thread, each running two shares of its own:
    // 4 x 20 ms of work inside sections nested three deep.
    const double counted_before = parallel_processor_ms(), cpu_before = process_cpu_ms();
    orvo::detail::run_jobs(2, [](int) {
        orvo::detail::run_in_shares(2, 2, [](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) orvo::detail::run_in_turn(1, 1, [](std::size_t) { spin(20); });
        });
    });
    const double counted = parallel_processor_ms() - counted_before, cpu = process_cpu_ms() - cpu_before;
    EXPECT_GE(counted, 80.0);
    EXPECT_LE(counted, cpu);  // counting a nested section again would pass the process's own time

    // Work outside any section, or in a range of one item, is not counted.
    const double closed = parallel_processor_ms();
    spin(10);
    orvo::detail::run_in_shares(1, 2, [](std::size_t, std::size_t) { spin(10); });
    orvo::detail::run_in_turn(1, 2, [](std::size_t) { spin(10); });
    EXPECT_EQ(parallel_processor_ms(), closed);

    // A job's exception closes its sections.
    EXPECT_THROW(orvo::detail::run_jobs(2, [](int j) {
        orvo::detail::run_in_shares(2, 1, [&](std::size_t, std::size_t) {
            spin(5);
            if (j == 1) throw std::runtime_error("job 1");
        });
    }), std::runtime_error);
    const double after_exception = parallel_processor_ms();
    EXPECT_GE(after_exception, closed + 10.0);
    spin(10);
    EXPECT_EQ(parallel_processor_ms(), after_exception);
}

TEST(ParallelSections, StageProcessorTimesFitInTheDetection)
{
    // The dense preset on one thread: six passes whose stage times are
    // summed, the edges of three levels, the near-duplicate test.
    const cv::Mat image = generated_image(640, 480, 3);
    orvo::DetectionStats stats;
    const double cpu_before = process_cpu_ms(), counted_before = parallel_processor_ms();
    orvo::detect(image, orvo::DetectorOptions::dense(), &stats);
    const double cpu = process_cpu_ms() - cpu_before, counted = parallel_processor_ms() - counted_before;
    const double stages[] = {stats.canny_cpu_ms, stats.points_cpu_ms, stats.alpha_cpu_ms, stats.face_table_cpu_ms,
                             stats.tree_cpu_ms, stats.selection_cpu_ms, stats.extraction_cpu_ms,
                             stats.near_duplicates_cpu_ms};
    double sum = 0;
    for (double ms : stages) {
        EXPECT_GE(ms, 0);
        sum += ms;
    }
    EXPECT_GT(stats.canny_cpu_ms, 0);
    EXPECT_GT(stats.near_duplicates_cpu_ms, 0);
    EXPECT_GT(stats.near_duplicates_ms, 0);
    EXPECT_LE(sum, cpu);
    // The passes run as jobs: most of the detection is parallel, none of it twice.
    EXPECT_GT(counted, sum / 2);
    EXPECT_LE(counted, cpu);
}
