// Removing an executable's temporary output files when a signal ends it.
//
// The atomic file writer leaves a hidden temporary file behind only when the
// process ends in the middle of a write. An executable that calls
// remove_temporary_files_on_signals() once at start has such files removed
// first: every signal whose default action ends the process, and whose
// action is still that default, gets a handler that removes the temporary
// files being written and then ends the process by the same signal, as it
// would have. Ignored signals and handlers installed before stay as they
// are. The library itself never installs this: it is the executables'
// choice.
#pragma once

namespace orvo::detail {

void remove_temporary_files_on_signals();

}  // namespace orvo::detail
