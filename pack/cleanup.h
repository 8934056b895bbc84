// What an interrupted zovari-pack must not leave behind: the temporary files
// and folders it is working in, and the program it is running for them.
// SIGINT, SIGTERM and SIGHUP remove the first two and end the third, then end
// the process as the signal would have.
#ifndef ZOVARI_PACK_CLEANUP_H
#define ZOVARI_PACK_CLEANUP_H

#include <sys/types.h>

#include <string>

namespace zovari {

// Installs the handler.  Call once, early.
void remove_temporary_on_signals();

// Marks a temporary file or folder (a folder goes with everything in it) for
// removal on a signal until forgotten; returns the mark, or -1 when the path
// cannot be held (then the object's own destructor is all that removes it).
int remember_temporary(const std::string& path, bool is_folder);
void forget_temporary(int mark);

// The process group of the program being run (its pid, which leads it), or
// 0 when none runs: a signal ends that group before the handler cleans up.
void remember_running_group(pid_t group);

}  // namespace zovari

#endif
