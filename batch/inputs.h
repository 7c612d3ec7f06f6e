// The images of a batch: INPUTs expanded into one list of image paths, in a
// stable order, each with the part of its path that its outputs mirror.
#pragma once

#include <atomic>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvo::batch {

struct image_entry {
    std::string path;             // as it is opened
    std::size_t mirror_from = 0;  // path.substr(mirror_from): the path mirrored under -o
    std::string mirrored() const { return path.substr(mirror_from); }
};

// A folder that cannot be searched or a list that cannot be read.
class input_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How a long phase learns that it must stop: `signal` becomes non-zero, and
// `wake_fd` (when not -1) becomes readable at the same time, so that a
// blocking read can wait for both.
struct stop_request {
    const std::atomic<int>* signal = nullptr;
    int wake_fd = -1;
    bool requested() const { return signal != nullptr && signal->load() != 0; }
};

// Thrown when a stop was requested while the inputs were being collected.
class collection_stopped : public std::exception {
public:
    const char* what() const noexcept override { return "stopped while collecting the inputs"; }
};

// The longest line a list may hold, in bytes.
constexpr std::size_t MAX_LIST_LINE = 65536;

// True when the file name ends in an extension of an image type OpenCV reads
// (case-insensitive).
bool has_image_extension(const std::string& name);

// True when `path`, written as a line of a list, reads back as itself: no
// line break, no trailing carriage return, not blank.
bool listable(const std::string& path);

// The inputs in the order given, each expanded:
//  - a folder: every image file below it (by extension, following symbolic
//    links to files but not to folders), sorted by path byte by byte;
//    mirrored: the path relative to the folder;
//  - @LIST: one path a line (blank lines and a trailing CR ignored; a line
//    longer than MAX_LIST_LINE or holding a NUL byte is an error); a
//    relative path is relative to the list's folder; mirrored: the line, or
//    the file name when the line is absolute or leaves the list's folder;
//  - anything else: an image file, whatever its extension; mirrored: its
//    file name.
// Paths are normalised lexically ("./" and "x/.." dropped). Throws
// input_error naming the folder or list at fault, collection_stopped when
// `stop` is requested meanwhile (a list read from a FIFO or a slow device is
// waited for together with `stop`).
std::vector<image_entry> collect_images(const std::vector<std::string>& inputs, const stop_request& stop = {});

}  // namespace orvo::batch
