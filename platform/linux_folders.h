// Where a Linux launcher finds the folders behind {TEMP}, {HOME} and
// {CACHE_DIR}: pure rules over plain values, no system call, so that the
// POSIX layer applies them to its own environment and the packing tool, on
// whatever system it runs, shows the folder a Linux launcher's template gives.
//
//   {TEMP}       TMPDIR when it counts, else "/tmp"
//   {HOME}       HOME when it counts, else the user's entry in the password
//                database (the POSIX layer's own business)
//   {CACHE_DIR}  XDG_CACHE_HOME when it counts, else {HOME} and "/.cache"
//
// The names and texts are literals, for both narrow and wide use
// (L"" LINUX_DEFAULT_TEMP).
#ifndef ZOVARI_PLATFORM_LINUX_FOLDERS_H
#define ZOVARI_PLATFORM_LINUX_FOLDERS_H

#include <stddef.h>

#define LINUX_TEMP_VARIABLE "TMPDIR"
#define LINUX_HOME_VARIABLE "HOME"
#define LINUX_CACHE_VARIABLE "XDG_CACHE_HOME"
#define LINUX_DEFAULT_TEMP "/tmp"
#define LINUX_CACHE_SUFFIX "/.cache"

// Whether a folder variable's value (a narrow string, or null when unset)
// counts: an absolute path.  Unset, empty or relative, the folder comes from
// elsewhere.
#define LINUX_FOLDER_VARIABLE_COUNTS(value) ((value) != nullptr && (value)[0] == '/')

// Removes the separators at the end of {HOME} (length units at home) but a
// lone "/", before LINUX_CACHE_SUFFIX goes behind it; returns the length left.
template <typename Unit>
static inline size_t linux_trim_home_for_cache(Unit* home, size_t length) {
  while (length > 1 && home[length - 1] == '/') home[--length] = 0;
  return length;
}

// Where LINUX_CACHE_SUFFIX goes behind a {HOME} of length units so trimmed:
// at its end, or over the root's "/", so that "/" gives "/.cache".
static inline size_t linux_cache_suffix_at(size_t length) {
  return length == 1 ? 0 : length;
}

#endif
