// orvo-batch: extracts the regions of many images in one process, with a
// pool of worker threads, resumable runs, shards and a summary.
//
// Exit status: 0 when every image was done or up to date; 2 when some
// failed (or the failed list could not be written); 1 for a bad command
// line, an unreadable folder or list, or images whose outputs would clash;
// 128 + the signal number after SIGINT, SIGTERM or SIGHUP.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <new>
#include <opencv2/core.hpp>

#include "app/batch/inputs.h"
#include "app/batch/options.h"
#include "app/batch/outputs.h"
#include "app/batch/progress.h"
#include "app/batch/worker_pool.h"
#include "io/atomic_file.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t CLASHES_SHOWN = 10;

// Reports images that would write the same outputs; true when there are any.
bool report_clashes(const std::vector<image_entry>& images, const batch_options& options)
{
    const auto clashes = output_clashes(images, options);
    for (std::size_t i = 0; i < clashes.size() && i < CLASHES_SHOWN; ++i)
        std::cerr << "orvo-batch: " << images[clashes[i].first].path << " and " << images[clashes[i].second].path
                  << " would write the same output " << output_files(images[clashes[i].second], options)[0] << "\n";
    if (clashes.size() > CLASHES_SHOWN)
        std::cerr << "orvo-batch: and " << clashes.size() - CLASHES_SHOWN << " more images with clashing outputs\n";
    if (!clashes.empty()) std::cerr << "orvo-batch: nothing done: give each image its own output\n";
    return !clashes.empty();
}

// The failed images, one a line, so that @FILE runs them again: each path
// relative to the file's folder (so a list written into an INPUT folder
// mirrors its images as that folder did). Written (empty) when nothing
// failed too, so that an old list is never re-run.
bool write_failed_list(const std::string& file, const std::vector<failed_image>& failures)
{
    const fs::path folder = fs::absolute(file).parent_path();
    const std::string failure = write_file_atomically(file, [&](std::FILE* fp) {
        for (const failed_image& f : failures)
            std::fprintf(fp, "%s\n", fs::absolute(f.path).lexically_relative(folder).c_str());
    });
    if (failure.empty()) return true;
    std::cerr << "orvo-batch: unable to write the failed list " << file << ": " << failure << "\n";
    return false;
}

int run(int argc, char** argv)
{
    prepare_signals();
    cv::setNumThreads(0);  // the workers are the parallelism

    batch_options options;
    const parse_outcome parsed = parse_batch_options(argc, argv, options);
    if (parsed != parse_outcome::run) return parsed == parse_outcome::help ? 0 : 1;

    std::vector<image_entry> images;
    try {
        images = collect_images(options.inputs);
    } catch (const input_error& e) {
        std::cerr << "orvo-batch: " << e.what() << "\n";
        return 1;
    }
    if (report_clashes(images, options)) return 1;

    progress_report progress(options.level, shard_size(images.size(), options));
    const int stop_signal = run_workers(images, options, progress);
    progress.finish(stop_signal);
    const bool list_written = options.failed_list.empty() || write_failed_list(options.failed_list, progress.failures());
    if (stop_signal != 0) return 128 + stop_signal;
    return progress.tally().failed == 0 && list_written ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << "orvo-batch: out of memory" << std::endl;
        return 1;
    }
}
