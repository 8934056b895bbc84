// Creates the directories above a file that is about to be written, climbing
// only as far as needed and remembering, for the rest of the process, which
// directories are known to exist.
#ifndef ZOVARI_PAYLOAD_DIRECTORIES_H
#define ZOVARI_PAYLOAD_DIRECTORIES_H

#include <stddef.h>
#include <wchar.h>

// Makes every missing directory above the file at path exist, if it can.
// Reports no failure: a directory that cannot be made shows up when the file
// cannot be opened.  Returns the length of the topmost directory this call
// created (a prefix of path), 0 when it created none.
size_t ensure_parent_directories(const wchar_t* path);

// True when the directory exists afterwards or counts as existing (known,
// created, already there, or a bare drive).  The first call for a folder not
// below the floor seeds the table with the expansion of "{HOME}" when there
// is one.
bool ensure_directory(const wchar_t* path);

// The folder that the climbs below it end at, at the latest: it exists, the
// caller made it.  None at first.
void set_directory_floor(const wchar_t* directory);

#endif
