#ifndef ZOVARI_PATHS_EXECUTABLE_PATH_H
#define ZOVARI_PATHS_EXECUTABLE_PATH_H

#include <stddef.h>
#include <wchar.h>

// Room for any executable path the launcher takes from the system: up to 4096
// units, one more than a path buffer holds, and the NUL.
static const size_t EXECUTABLE_PATH_CAPACITY = 4097;

// The running executable's full path as the system reports it, asked for once
// and kept for the life of the process.  Empty text when the system cannot
// say (then the next call asks again).  The caller must not change it.
const wchar_t* get_executable_path(void);

#endif
