// Progress bar, per-image lines and the closing summary of a batch.
#include "app/batch/progress.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace orvo::batch {

namespace {

constexpr int BAR_WIDTH = 30;
constexpr double REDRAW_SECONDS = 0.2;
const char* const CLEAR_LINE = "\r\033[K";

std::string duration_text(double seconds)
{
    const long total = static_cast<long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

}  // namespace

progress_report::progress_report(verbosity level, std::size_t total)
    : level_(level), bar_(level == verbosity::normal && isatty(STDERR_FILENO)), total_(total)
{
}

double progress_report::elapsed_seconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void progress_report::record(std::size_t position, const image_entry& image, const image_outcome& outcome)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (bar_) std::fputs(CLEAR_LINE, stderr);
    switch (outcome.status) {
    case image_status::done:
        ++tally_.done;
        tally_.regions += outcome.regions;
        if (level_ == verbosity::verbose) std::fprintf(stderr, "%s: %zu regions\n", image.path.c_str(), outcome.regions);
        break;
    case image_status::skipped:
        ++tally_.skipped;
        if (level_ == verbosity::verbose) std::fprintf(stderr, "%s: up to date, skipped\n", image.path.c_str());
        break;
    case image_status::failed:
        ++tally_.failed;
        failures_.push_back({position, image.path, outcome.reason});
        std::fprintf(stderr, "%s: failed: %s\n", image.path.c_str(), outcome.reason.c_str());
        break;
    }
    if (bar_) draw_bar();
}

void progress_report::refresh()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (bar_ && elapsed_seconds() - last_drawn_ >= REDRAW_SECONDS) draw_bar();
}

void progress_report::draw_bar()
{
    const double seconds = elapsed_seconds();
    last_drawn_ = seconds;
    const std::size_t finished = tally_.finished();
    const int filled = total_ == 0 ? BAR_WIDTH : static_cast<int>(BAR_WIDTH * finished / total_);
    const double rate = seconds > 0 ? static_cast<double>(finished) / seconds : 0.0;
    const std::string left =
        rate > 0 ? duration_text(static_cast<double>(total_ - finished) / rate) + " left" : "";
    std::fprintf(stderr, "%s[%s%s] %zu/%zu images  %.1f images/s  %s", CLEAR_LINE, std::string(filled, '#').c_str(),
                 std::string(BAR_WIDTH - filled, '.').c_str(), finished, total_, rate, left.c_str());
    std::fflush(stderr);
}

void progress_report::finish(int stop_signal)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (bar_) std::fputs(CLEAR_LINE, stderr);
    if (level_ == verbosity::quiet) return;
    const double seconds = elapsed_seconds();
    if (stop_signal != 0)
        std::fprintf(stderr, "orvo-batch: stopped by SIG%s after %zu of %zu images; run again to finish\n",
                     sigabbrev_np(stop_signal), tally_.finished(), total_);
    std::fprintf(stderr, "orvo-batch: %zu images: %zu done, %zu skipped, %zu failed; %zu regions; %.1f s, %.1f images/s\n",
                 total_, tally_.done, tally_.skipped, tally_.failed, tally_.regions, seconds,
                 seconds > 0 ? static_cast<double>(tally_.done) / seconds : 0.0);
    if (failures_.empty()) return;
    std::fprintf(stderr, "failed images:\n");
    for (const failed_image& f : sorted_failures()) std::fprintf(stderr, "  %s: %s\n", f.path.c_str(), f.reason.c_str());
}

batch_tally progress_report::tally() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return tally_;
}

std::vector<failed_image> progress_report::failures() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sorted_failures();
}

std::vector<failed_image> progress_report::sorted_failures() const
{
    std::vector<failed_image> sorted = failures_;
    std::sort(sorted.begin(), sorted.end(),
              [](const failed_image& x, const failed_image& y) { return x.position < y.position; });
    return sorted;
}

}  // namespace orvo::batch
