#ifndef ZOVARI_PATHS_EXECUTABLE_PATH_H
#define ZOVARI_PATHS_EXECUTABLE_PATH_H

#include <wchar.h>

// The running executable's full path as the system reports it, asked for once
// and kept for the life of the process.  Empty text when the system cannot
// say (then the next call asks again).  The caller must not change it.
const wchar_t* get_executable_path(void);

#endif
