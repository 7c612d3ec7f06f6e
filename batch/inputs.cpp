// Expanding INPUTs (image files, folders searched recursively, @LISTs) into
// the batch's list of images.
#include "batch/inputs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace orvo::batch {

namespace fs = std::filesystem;

namespace {

// The image types OpenCV's imread recognises by extension.
const char* const IMAGE_EXTENSIONS[] = {
    "jpg", "jpeg", "jpe", "png", "pgm", "ppm", "pbm", "pnm", "pxm", "pfm", "bmp",
    "dib", "tif", "tiff", "webp", "jp2", "sr",  "ras", "exr", "hdr", "pic"};

// How often a wait that has no descriptor to wake it looks at the stop flag.
constexpr int STOP_POLL_MILLISECONDS = 100;
constexpr std::size_t READ_CHUNK = 65536;

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

// Every image below `folder`, each folder searched on its own so that an
// error names the folder that could not be read.
void add_folder(const std::string& folder, std::vector<image_entry>& images, const stop_request& stop)
{
    const std::string root = normal(folder);
    const std::string prefix = root == "." ? "" : root + "/";
    std::vector<std::string> relative;
    std::vector<fs::path> unsearched{fs::path(root)};
    while (!unsearched.empty()) {
        const fs::path current = unsearched.back();
        unsearched.pop_back();
        std::error_code error;
        for (fs::directory_iterator it(current, error), end; !error && it != end; it.increment(error)) {
            if (stop.requested()) throw collection_stopped();
            std::error_code type_error;
            if (fs::is_directory(it->symlink_status(type_error))) unsearched.push_back(it->path());
            else if (it->is_regular_file(type_error) && has_image_extension(it->path().filename().string()))
                relative.push_back(it->path().lexically_relative(root).string());
        }
        if (error) throw input_error(current.string() + ": " + error.message());
    }
    std::sort(relative.begin(), relative.end());
    for (const std::string& name : relative) images.push_back({prefix + name, prefix.size()});
}

// The lines of a list, read without blocking the stop request: a FIFO or a
// slow device is waited for together with `stop.wake_fd`.
class list_lines {
public:
    list_lines(const std::string& list, const stop_request& stop)
        : list_(list), stop_(stop), fd_(open(list.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC))
    {
        if (fd_ < 0) fail(std::strerror(errno));
    }
    ~list_lines() { close(fd_); }
    list_lines(const list_lines&) = delete;
    list_lines& operator=(const list_lines&) = delete;

    // The next line without its line feed; false after the last.
    bool next(std::string& line)
    {
        std::size_t end = 0;
        while ((end = pending_.find('\n', scanned_)) == std::string::npos) {
            scanned_ = pending_.size();
            check_length(pending_.size());
            if (!read_more()) {
                if (pending_.empty()) return false;
                end = pending_.size();
                pending_.push_back('\n');
                break;
            }
        }
        check_length(end);
        line.assign(pending_, 0, end);
        pending_.erase(0, end + 1);
        scanned_ = 0;
        ++number_;
        return true;
    }

    [[noreturn]] void fail(const std::string& reason) const { throw input_error(list_ + ": " + reason); }
    std::size_t line_number() const { return number_; }

private:
    void check_length(std::size_t length) const
    {
        if (length > MAX_LIST_LINE)
            fail(std::to_string(number_ + 1) + ": a line longer than " + std::to_string(MAX_LIST_LINE) + " bytes");
    }

    // Appends what can be read; false at the end of the file.
    bool read_more()
    {
        for (;;) {
            if (stop_.requested()) throw collection_stopped();
            pollfd waits[2] = {{fd_, POLLIN, 0}, {stop_.wake_fd, POLLIN, 0}};
            const int timeout = stop_.signal != nullptr && stop_.wake_fd < 0 ? STOP_POLL_MILLISECONDS : -1;
            if (poll(waits, stop_.wake_fd < 0 ? 1 : 2, timeout) < 0 && errno != EINTR) fail(std::strerror(errno));
            if (waits[1].revents != 0) throw collection_stopped();
            if (waits[0].revents == 0) continue;
            char chunk[READ_CHUNK];
            const ssize_t count = read(fd_, chunk, sizeof chunk);
            if (count > 0) {
                pending_.append(chunk, static_cast<std::size_t>(count));
                return true;
            }
            if (count == 0) return false;
            if (errno != EAGAIN && errno != EINTR) fail(std::strerror(errno));
        }
    }

    const std::string list_;
    const stop_request stop_;
    const int fd_;
    std::string pending_;
    std::size_t scanned_ = 0;  // pending_ holds no line feed before this
    std::size_t number_ = 0;   // lines returned
};

void add_list(const std::string& list, std::vector<image_entry>& images, const stop_request& stop)
{
    list_lines lines(list, stop);
    const std::string folder = fs::path(list).parent_path().string();
    const std::string prefix = folder.empty() ? "" : normal(folder) + "/";
    std::string line;
    while (lines.next(line)) {
        if (line.find('\0') != std::string::npos)
            lines.fail(std::to_string(lines.line_number()) + ": a line holds a NUL byte");
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        const std::string entry = normal(line);
        const bool inside = entry.front() != '/' && entry != ".." && entry.rfind("../", 0) != 0;
        if (inside) images.push_back({prefix + entry, prefix.size()});
        else images.push_back(single_file(entry.front() == '/' ? entry : prefix + entry));
    }
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

bool listable(const std::string& path)
{
    return path.find_first_of(std::string("\n\0", 2)) == std::string::npos && (path.empty() || path.back() != '\r') &&
           path.find_first_not_of(" \t") != std::string::npos;
}

std::vector<image_entry> collect_images(const std::vector<std::string>& inputs, const stop_request& stop)
{
    std::vector<image_entry> images;
    for (const std::string& input : inputs) {
        if (stop.requested()) throw collection_stopped();
        std::error_code error;
        if (input.size() > 1 && input[0] == '@') add_list(input.substr(1), images, stop);
        else if (fs::is_directory(input, error)) add_folder(input, images, stop);
        else images.push_back(single_file(input));
    }
    return images;
}

}  // namespace orvo::batch
