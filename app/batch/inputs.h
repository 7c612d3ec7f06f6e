// The images of a batch: INPUTs expanded into one list of image paths, in a
// stable order, each with the part of its path that its outputs mirror.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

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

// True when the file name ends in an extension of an image type OpenCV reads
// (case-insensitive).
bool has_image_extension(const std::string& name);

// The inputs in the order given, each expanded:
//  - a folder: every image file below it (by extension, following symbolic
//    links to files but not to folders), sorted by path byte by byte;
//    mirrored: the path relative to the folder;
//  - @LIST: one path a line (blank lines and a trailing CR ignored); a
//    relative path is relative to the list's folder; mirrored: the line,
//    or the file name when the line is absolute or leaves the list's folder;
//  - anything else: an image file, whatever its extension; mirrored: its
//    file name.
// Paths are normalised lexically ("./" and "x/.." dropped). Throws
// input_error.
std::vector<image_entry> collect_images(const std::vector<std::string>& inputs);
