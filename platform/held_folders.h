// The folders below the target directory that a start holds open, the
// target directory first, kept the same way by both systems: a path and, for
// each held folder, where its path ends in it (platform_enter_folder).
#ifndef ZOVARI_PLATFORM_HELD_FOLDERS_H
#define ZOVARI_PLATFORM_HELD_FOLDERS_H

#include <stddef.h>
#include <wchar.h>

// How many of the depth held folders lie on the way to the folder
// path[0 .. length): the target directory (path's first target_length
// units) when it is the one held, then each folder whose path is a
// whole-component prefix of path's.
static inline size_t held_on_the_way(const wchar_t* held_path, const size_t* ends, size_t depth,
                                     const wchar_t* path, size_t target_length, size_t length,
                                     wchar_t separator) {
  size_t kept = 0;
  while (kept < depth && ends[kept] <= length && wmemcmp(held_path, path, ends[kept]) == 0 &&
         (ends[kept] == length || path[ends[kept]] == separator) &&
         (kept > 0 || ends[0] == target_length)) {
    ++kept;
  }
  return kept;
}

// The next component of path[0 .. length) from *at on: moves *at past any
// separators to its start and returns where it ends (*at itself when none is
// left).
static inline size_t next_component(const wchar_t* path, size_t* at, size_t length,
                                    wchar_t separator) {
  while (*at < length && path[*at] == separator) ++*at;
  size_t end = *at;
  while (end < length && path[end] != separator) ++end;
  return end;
}

#endif
