// orvo-batch: extracts the regions of many images in one process, with a
// pool of worker threads, resumable runs, shards and a summary.
//
// Exit status: 0 when every image was done or up to date; 2 when some
// failed (or the failed list could not be written whole, or the run failed
// otherwise: a message says why); 1 for a bad
// command line, an unreadable folder or list, images whose outputs would
// clash or outputs made with other options; 128 + the signal number after
// SIGINT, SIGTERM or SIGHUP, in whatever phase they arrive.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <exception>
#include <new>
#include <opencv2/core.hpp>

#include "batch/inputs.h"
#include "batch/manifest.h"
#include "app/batch/options.h"
#include "batch/outputs.h"
#include "app/batch/progress.h"
#include "app/batch/stop_signals.h"
#include "app/program.h"
#include "app/signal_cleanup.h"
#include "app/batch/worker_pool.h"
#include "app/output_paths.h"
#include "io/atomic_file.h"

namespace orvo::batch {

using namespace orvo::cli;

namespace fs = std::filesystem;

namespace {

// A path as a message shows it, line breaks visible.
std::string shown(const std::string& path)
{
    std::string text;
    for (const char c : path) text += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    return text;
}

// The failed images, one a line, so that @FILE runs them again: each path
// relative to the file's folder (so a list written into an INPUT folder
// mirrors its images as that folder did). Written (empty) when nothing
// failed too, so that an old list is never re-run. A path that a line cannot
// hold is named on standard error instead; false then, or when the list
// could not be written.
bool write_failed_list(const std::string& file, const std::vector<failed_image>& failures)
{
    const fs::path folder = fs::absolute(file).parent_path();
    std::vector<std::string> lines, unlisted;
    for (const failed_image& f : failures) {
        const std::string line = fs::absolute(f.path).lexically_relative(folder).string();
        (listable(line) ? lines : unlisted).push_back(line);
    }
    const std::string failure = orvo::detail::write_file_atomically(file, [&](std::FILE* fp) {
        for (const std::string& line : lines) std::fprintf(fp, "%s\n", line.c_str());
    });
    for (const std::string& line : unlisted)
        std::cerr << "orvo-batch: not in the failed list " << file << ", as a line cannot hold its name: "
                  << shown(line) << "\n";
    if (!failure.empty()) std::cerr << "orvo-batch: unable to write the failed list " << file << ": " << failure << "\n";
    return failure.empty() && unlisted.empty();
}

// The image or output that the failed list would replace, as a message; ""
// when it replaces none.
std::string failed_list_clash(const std::vector<image_entry>& images, const batch_options& options)
{
    if (options.failed_list.empty()) return "";
    std::vector<named_file> files;
    for (const image_entry& image : images) {
        files.push_back({"the image", image.path});
        for (const std::string& output : output_files(image, options)) files.push_back({"the output", output});
    }
    return output_clash({{"--failed-list", options.failed_list}}, files);
}

int stopped_before_work(int signal_number)
{
    std::cerr << "orvo-batch: stopped by SIG" << sigabbrev_np(signal_number) << " before any image was done\n";
    return 128 + signal_number;
}

int run(int argc, char** argv)
{
    if (!catch_stop_signals()) {
        std::cerr << "orvo-batch: unable to handle the stop signals: " << std::strerror(errno) << "\n";
        return 1;
    }
    orvo::detail::ignore_signals_for_file_output();
    // Any other signal that ends the process removes the files being written.
    orvo::detail::remove_temporary_files_on_signals();
    cv::setNumThreads(0);  // the workers are the parallelism

    batch_options options;
    const parse_outcome parsed = parse_batch_options(argc, argv, options);
    if (parsed != parse_outcome::run) return parsed == parse_outcome::help ? 0 : 1;

    std::vector<image_entry> images;
    try {
        images = collect_images(options.inputs, stop_requests());
    } catch (const input_error& e) {
        std::cerr << "orvo-batch: " << e.what() << "\n";
        return 1;
    } catch (const collection_stopped&) {
        return stopped_before_work(stop_signal_received());
    }
    const std::vector<std::string> clashes = clash_messages(images, options);
    for (const std::string& clash : clashes) std::cerr << "orvo-batch: " << clash << "\n";
    if (!clashes.empty()) {
        std::cerr << "orvo-batch: nothing done: give each image its own output\n";
        return 1;
    }
    const std::string list_clash = failed_list_clash(images, options);
    if (!list_clash.empty()) {
        std::cerr << "orvo-batch: " << list_clash << ": nothing done: give the failed list a file of its own\n";
        return 1;
    }
    const std::string conflict = manifest_conflict(images, options);
    if (!conflict.empty()) {
        std::cerr << "orvo-batch: " << conflict << ": nothing done: give --force to redo them with these options, "
                  << "or another output folder (-o)\n";
        return 1;
    }
    const std::string unrecorded = record_manifests(images, options);
    if (!unrecorded.empty()) {
        std::cerr << "orvo-batch: unable to record the options: " << unrecorded << "\n";
        return 1;
    }
    if (stop_signal_received() != 0) return stopped_before_work(stop_signal_received());

    progress_report progress(options.level, shard_size(images.size(), options));
    const int stop_signal = run_workers(images, options, progress);
    progress.finish(stop_signal);
    const bool list_written = options.failed_list.empty() || write_failed_list(options.failed_list, progress.failures());
    if (stop_signal != 0) return 128 + stop_signal;
    return progress.tally().failed == 0 && list_written ? 0 : 2;
}

}  // namespace

}  // namespace orvo::batch

using namespace orvo::batch;

int main(int argc, char** argv)
{
    int status = 1;
    try {
        status = run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << "orvo-batch: out of memory" << std::endl;
    } catch (const std::exception& e) {
        // Each image's failures are its own; this is one around them.
        std::cerr << "orvo-batch: " << e.what() << std::endl;
        status = 2;
    }
    end_process(status);
}
