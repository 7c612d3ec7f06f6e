// Expanding INPUTs (image files, folders searched recursively, @LISTs) into
// the batch's list of images.
#include "app/batch/inputs.h"

#include <algorithm>
#include <iterator>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// The image types OpenCV's imread recognises by extension.
const char* const IMAGE_EXTENSIONS[] = {
    "jpg", "jpeg", "jpe", "png", "pgm", "ppm", "pbm", "pnm", "pxm", "pfm", "bmp",
    "dib", "tif", "tiff", "webp", "jp2", "sr",  "ras", "exr", "hdr", "pic"};

// The path with "." and "x/.." components dropped and no trailing slash.
std::string normal(const std::string& path)
{
    std::string text = fs::path(path).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text.empty() ? "." : text;
}

// The image itself: mirrored as its file name.
image_entry single_file(const std::string& path)
{
    const std::string normalised = normal(path);
    const std::size_t slash = normalised.rfind('/');
    return {normalised, slash == std::string::npos ? 0 : slash + 1};
}

void add_folder(const std::string& folder, std::vector<image_entry>& images)
{
    const std::string root = normal(folder);
    const std::string prefix = root == "." ? "" : root + "/";
    std::vector<std::string> relative;
    std::error_code error;
    fs::recursive_directory_iterator it(root, error), end;
    for (; !error && it != end; it.increment(error)) {
        std::error_code type_error;
        if (!it->is_regular_file(type_error) || !has_image_extension(it->path().filename().string())) continue;
        relative.push_back(it->path().lexically_relative(root).string());
    }
    if (error) throw input_error(root + ": " + error.message());
    std::sort(relative.begin(), relative.end());
    for (const std::string& name : relative) images.push_back({prefix + name, prefix.size()});
}

void add_list(const std::string& list, std::vector<image_entry>& images)
{
    std::ifstream in(list);
    if (!in) throw input_error(list + ": cannot be read");
    const std::string folder = fs::path(list).parent_path().string();
    const std::string prefix = folder.empty() ? "" : normal(folder) + "/";
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        const std::string entry = normal(line);
        const bool inside = entry.front() != '/' && entry != ".." && entry.rfind("../", 0) != 0;
        if (inside) images.push_back({prefix + entry, prefix.size()});
        else images.push_back(single_file(entry.front() == '/' ? entry : prefix + entry));
    }
    if (in.bad()) throw input_error(list + ": cannot be read");
}

}  // namespace

bool has_image_extension(const std::string& name)
{
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string extension = name.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::find(std::begin(IMAGE_EXTENSIONS), std::end(IMAGE_EXTENSIONS), extension) != std::end(IMAGE_EXTENSIONS);
}

std::vector<image_entry> collect_images(const std::vector<std::string>& inputs)
{
    std::vector<image_entry> images;
    for (const std::string& input : inputs) {
        std::error_code error;
        if (input.size() > 1 && input[0] == '@') add_list(input.substr(1), images);
        else if (fs::is_directory(input, error)) add_folder(input, images);
        else images.push_back(single_file(input));
    }
    return images;
}
