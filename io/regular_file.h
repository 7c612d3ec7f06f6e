// Reading a whole input file, only when it is a regular file: a folder, a
// FIFO, a socket or a device is refused without blocking (a FIFO with no
// writer is not waited for) and without reading from it.
#pragma once

#include <string>

namespace orvo::detail {

// Reads the file `path` into `contents`. Returns an empty string on success,
// otherwise the reason ("No such file or directory", "not a regular file",
// ...). Throws std::bad_alloc when the file does not fit in memory.
std::string read_regular_file(const std::string& path, std::string& contents);

}  // namespace orvo::detail
