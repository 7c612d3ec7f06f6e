// Output naming, mirroring under -o, the up-to-date check and clashes.
#include "batch/outputs.h"

#include <algorithm>
#include <filesystem>
#include <numeric>
#include <string_view>
#include <sys/stat.h>
#include <system_error>

namespace orvo::batch {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t CLASHES_SHOWN = 10;

// The path every output of the image starts with.
std::string output_stem(const image_entry& image, const batch_options& options)
{
    if (options.output_dir.empty()) return image.path;
    return options.output_dir + "/" + image.mirrored();
}

// The modification time of a regular file; false for anything else.
bool modification_time(const std::string& path, timespec& time)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    time = status.st_mtim;
    return true;
}

}  // namespace

std::vector<std::string> output_files(const image_entry& image, const batch_options& options)
{
    const std::string stem = output_stem(image, options);
    if (options.format == output_format::colmap) return {stem + ".txt"};
    if (options.sift) return {stem + ".orvo", stem + ".orvo.sift"};
    return {stem + ".orvo"};
}

bool outputs_up_to_date(const std::string& image, const std::vector<std::string>& outputs)
{
    timespec image_time{}, output_time{};
    if (!modification_time(image, image_time)) return false;
    for (const std::string& output : outputs) {
        if (!modification_time(output, output_time)) return false;
        if (output_time.tv_sec < image_time.tv_sec ||
            (output_time.tv_sec == image_time.tv_sec && output_time.tv_nsec < image_time.tv_nsec))
            return false;
    }
    return true;
}

std::string make_output_folders(const std::vector<std::string>& outputs)
{
    for (const std::string& output : outputs) {
        const fs::path folder = fs::path(output).parent_path();
        std::error_code error;
        if (!folder.empty() && !fs::is_directory(folder, error)) {
            fs::create_directories(folder, error);
            if (error) return folder.string() + ": " + error.message();
        }
    }
    return "";
}

std::vector<std::pair<std::size_t, std::size_t>> output_clashes(const std::vector<image_entry>& images,
                                                                const batch_options& options)
{
    // Every output of an image is its stem plus a fixed suffix, so images
    // clash exactly when their stems do.
    const bool mirrored = !options.output_dir.empty();
    auto stem = [&](std::size_t i) {
        const image_entry& image = images[i];
        return std::string_view(image.path).substr(mirrored ? image.mirror_from : 0);
    };
    std::vector<std::size_t> order(images.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return stem(x) < stem(y); });
    std::vector<std::pair<std::size_t, std::size_t>> clashes;
    std::size_t group = 0;  // the first of the current run of equal stems: the earliest in the list
    for (std::size_t k = 1; k < order.size(); ++k) {
        if (stem(order[k]) != stem(order[group])) group = k;
        else clashes.emplace_back(order[group], order[k]);
    }
    std::sort(clashes.begin(), clashes.end(),
              [](const auto& x, const auto& y) { return x.second < y.second; });
    return clashes;
}

std::vector<std::string> clash_messages(const std::vector<image_entry>& images, const batch_options& options)
{
    const auto clashes = output_clashes(images, options);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < clashes.size() && i < CLASHES_SHOWN; ++i)
        lines.push_back(images[clashes[i].first].path + " and " + images[clashes[i].second].path +
                        " would write the same output " + output_files(images[clashes[i].second], options)[0]);
    if (clashes.size() > CLASHES_SHOWN)
        lines.push_back("and " + std::to_string(clashes.size() - CLASHES_SHOWN) + " more images with clashing outputs");
    return lines;
}

}  // namespace orvo::batch
