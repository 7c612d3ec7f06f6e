// Writing an output file completely or not at all: the text goes to a
// temporary file in the same folder, which replaces the target only once
// every write and the close have succeeded. An existing target that is not
// writable is left alone, as opening it for writing would refuse.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

// Calls `write` on the temporary file, then renames it into place. Returns
// an empty string on success, otherwise the system's reason for the failure
// (the target then is as it was, and no temporary file remains).
std::string write_file_atomically(const std::string& file_name, const std::function<void(std::FILE*)>& write);
