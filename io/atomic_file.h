// Writing an output file completely or not at all: the text goes to a
// temporary file (".orvo-tmp-XXXXXX") in the target's folder, which is
// flushed to the disk and then replaces the target, only once every write,
// the sync and the close have succeeded. On any failure (or an exception
// from the caller's writing) the temporary file is removed.
//
// - An existing target that is not writable is left alone, as opening it for
//   writing would refuse; one that is not a regular file (a device, FIFO,
//   socket or folder, or a symbolic link to one or to nothing) is refused.
// - A symbolic link to a regular file stays a link: the file it points to is
//   replaced (atomically, in that file's folder).
// - The new file keeps the mode, owner and group of the file it replaces
//   (the owner only where the process may change it, as root); a new file
//   gets the mode a plain fopen would give it.
// - Writing changes nothing process-wide (signal actions, umask, locale):
//   the library writes with it. An executable that wants its temporary files
//   removed when a signal ends it registers hooks (see
//   app/signal_cleanup.h); several threads may write files at once.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace orvo::detail {

// Calls `write` on the temporary file, then renames it into place. Returns
// an empty string on success, otherwise the reason for the failure (the
// target then is as it was, and no temporary file remains).
std::string write_file_atomically(const std::string& file_name, const std::function<void(std::FILE*)>& write);

// What an executable is told about the temporary files, so that it can
// remove those still there when a signal ends it. `announce` is called with
// the folder's descriptor and the name before the file is created, and
// gives a number that `created` receives once the creation has been tried
// and `forget` once the file is gone (renamed into place or removed). They
// may be called from several threads at once.
struct temporary_file_hooks {
    int (*announce)(int folder, const char* name);
    void (*created)(int token);
    void (*forget)(int token);
};

// Installs the hooks for every later write (null: none, the default).
void set_temporary_file_hooks(const temporary_file_hooks* hooks);

// For executables, once at start: ignores SIGXFSZ, so that a write past the
// file size limit fails with "File too large" instead of ending the
// process, and SIGPIPE, so that a closed pipe fails the write instead.
void ignore_signals_for_file_output();

}  // namespace orvo::detail
