// Writing an output file completely or not at all: the text goes to a
// temporary file (".orvo-tmp-XXXXXX") in the target's folder, which replaces
// the target only once every write and the close have succeeded.
//
// - An existing target that is not writable is left alone, as opening it for
//   writing would refuse; one that is not a regular file (a device, FIFO,
//   socket or folder, or a symbolic link to one or to nothing) is refused.
// - A symbolic link to a regular file stays a link: the file it points to is
//   replaced (atomically, in that file's folder).
// - The new file keeps the mode, owner and group of the file it replaces
//   (the owner only where the process may change it, as root); a new file
//   gets the mode a plain fopen would give it.
// - While the file is written, every signal whose default action ends the
//   process and whose action is still that default removes the temporary
//   files being written and then ends the process as it would have; the
//   previous actions are restored when the last concurrent write ends.
//   Several threads may write files at once.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

// Calls `write` on the temporary file, then renames it into place. Returns
// an empty string on success, otherwise the reason for the failure (the
// target then is as it was, and no temporary file remains).
std::string write_file_atomically(const std::string& file_name, const std::function<void(std::FILE*)>& write);

// For executables, once at start: ignores SIGXFSZ, so that a write past the
// file size limit fails with "File too large" instead of ending the
// process, and SIGPIPE, so that a closed pipe fails the write instead.
void ignore_signals_for_file_output();
