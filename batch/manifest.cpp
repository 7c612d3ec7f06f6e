// Recording and checking the options of a batch's outputs.
#include "batch/manifest.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "io/atomic_file.h"
#include "library/number_text.h"
#include "library/option_table.h"

namespace orvo::batch {

namespace fs = std::filesystem;

namespace {

constexpr const char* HEADER = "orvo-batch options";
// More than any record holds: a larger file is not one.
constexpr std::streamsize LARGEST_RECORD = 4096;

// The folders whose records cover the outputs of `images`.
std::set<std::string> record_folders(const std::vector<image_entry>& images, const batch_options& options)
{
    if (images.empty()) return {};
    if (!options.output_dir.empty()) return {options.output_dir};
    std::set<std::string> folders;
    for (const image_entry& image : images) {
        const std::string folder = fs::path(image.path).parent_path().string();
        folders.insert(folder.empty() ? "." : folder);
    }
    return folders;
}

std::string record_path(const std::string& folder) { return folder + "/" + MANIFEST_NAME; }

// The "name value" lines of a record, in order.
std::vector<std::pair<std::string, std::string>> record_entries(const std::string& text)
{
    std::vector<std::pair<std::string, std::string>> entries;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t space = line.find(' ');
        entries.emplace_back(line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1));
    }
    return entries;
}

// The record in `folder`: false when there is none; `text` empty when the
// file is not a record.
bool read_record(const std::string& folder, std::string& text)
{
    std::error_code error;
    if (!fs::exists(fs::symlink_status(record_path(folder), error))) return false;
    std::ifstream in(record_path(folder), std::ios::binary);
    std::string content(static_cast<std::size_t>(LARGEST_RECORD), '\0');
    in.read(&content[0], LARGEST_RECORD);
    content.resize(static_cast<std::size_t>(in.gcount()));
    text = content.rfind(std::string(HEADER) + "\n", 0) == 0 ? content : "";
    return true;
}

// Entries that earlier records lack, with the value all their outputs were
// made with: such a record still matches the options it was written for.
// Options whose value before they were recorded depended on the preset
// (min_radius, subpixel_edges, exact_hull, edge_pixel_hull) have none: a
// record without them differs from every run ("unrecorded"), so its
// outputs are redone only with --force.
const std::map<std::string, std::string> FORMER_VALUES = {{"measurement_scale", "3"}, {"bgr_grey", "0"}};

std::map<std::string, std::string> recorded_values(const std::string& text)
{
    std::map<std::string, std::string> values = FORMER_VALUES;
    for (const auto& [name, value] : record_entries(text)) values[name] = value;
    return values;
}

// "threshold 50, now 100; sift no, now yes": the entries that differ.
std::string differences(const std::string& old_text, const std::string& new_text)
{
    const std::map<std::string, std::string> old_values = recorded_values(old_text);
    std::string listed;
    for (const auto& [name, value] : record_entries(new_text)) {
        const auto old = old_values.find(name);
        const std::string old_value = old == old_values.end() ? "unrecorded" : old->second;
        if (old_value != value) listed += (listed.empty() ? "" : "; ") + name + " " + old_value + ", now " + value;
    }
    return listed;
}

}  // namespace

std::string manifest_text(const batch_options& options)
{
    std::string text = std::string(HEADER) + "\n";
    text += std::string("format ") + (options.format == output_format::colmap ? "colmap" : "orvo") + "\n";
    text += std::string("sift ") + (options.sift ? "yes" : "no") + "\n";
    for (const orvo::detail::detector_option& option : orvo::detail::detector_option_table())
        if (option.shapes_output)
            text += std::string(option.name) + " " + orvo::detail::value_text(option, options.detector) + "\n";
    return text;
}

std::string manifest_conflict(const std::vector<image_entry>& images, const batch_options& options)
{
    if (options.force) return "";
    const std::string wanted = manifest_text(options);
    for (const std::string& folder : record_folders(images, options)) {
        std::string recorded;
        if (!read_record(folder, recorded) || recorded_values(recorded) == recorded_values(wanted)) continue;
        if (recorded.empty()) return record_path(folder) + " is not a record of orvo-batch's options";
        return "the outputs in " + folder + " were made with other options (" + differences(recorded, wanted) + ")";
    }
    return "";
}

std::string record_manifests(const std::vector<image_entry>& images, const batch_options& options)
{
    const std::string wanted = manifest_text(options);
    for (const std::string& folder : record_folders(images, options)) {
        std::string recorded;
        if (read_record(folder, recorded) && recorded == wanted) continue;
        std::error_code error;
        fs::create_directories(folder, error);
        if (error) return folder + ": " + error.message();
        const std::string failure = orvo::detail::write_file_atomically(
            record_path(folder), [&](std::FILE* fp) { std::fputs(wanted.c_str(), fp); });
        if (!failure.empty()) return record_path(folder) + ": " + failure;
    }
    return "";
}

}  // namespace orvo::batch
