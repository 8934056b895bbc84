#include "payload/directories.h"
#include "payload/directories_for_tests.h"

#include <stdlib.h>
#include <string.h>

#include "paths/bounded.h"
#include "paths/fatal.h"
#include "paths/template.h"
#include "platform/platform.h"

static const size_t TABLE_CAPACITY = 1024;

static wchar_t* KnownDirectories[TABLE_CAPACITY];
static size_t KnownDirectoryCount;

static void remember_directory(const wchar_t* path) {
  if (KnownDirectoryCount >= TABLE_CAPACITY) {
    return;
  }
  size_t bytes = (wcslen(path) + 1) * sizeof(wchar_t);
  wchar_t* copy = (wchar_t*)malloc(bytes);
  if (copy == nullptr) {
    return;  // still counts as existing, just not remembered
  }
  memcpy(copy, path, bytes);
  KnownDirectories[KnownDirectoryCount++] = copy;
}

// Entry 0 is the profile directory, so that a climb ends there at the latest.
static void seed_with_profile_directory(void) {
  static wchar_t home[PATH_CAPACITY];
  if (!expand_path_template(home, L"{HOME}", PATH_CAPACITY)) {
    fail_template_expansion(L"{HOME}");
  }
  remember_directory(home);
}

bool ensure_directory(const wchar_t* path) {
  if (KnownDirectoryCount == 0) {
    seed_with_profile_directory();
  }
  for (size_t i = 0; i < KnownDirectoryCount; ++i) {
    if (wcscmp(KnownDirectories[i], path) == 0) {
      return true;
    }
  }
  if (platform_is_bare_root(path)) {
    return true;
  }
  if (platform_create_directory(path) == PLATFORM_DIRECTORY_FAILED) {
    return false;
  }
  remember_directory(path);
  return true;
}

// The index of the separator that ends path's parent: the last one at index
// 1 or above, or 0 when there is none (no parent to make).
static size_t parent_cut(const wchar_t* path, size_t length) {
  while (length > 1 && path[length - 1] != PLATFORM_SEPARATOR) --length;
  return length > 1 ? length - 1 : 0;
}

// Climbs from the file's directory until a level exists or can be made, then
// makes the levels below it from the top down.  One buffer serves every level,
// each level being a prefix of the path, so a deep path costs no stack.
void ensure_parent_directories(const wchar_t* path) {
  static wchar_t levels[PATH_CAPACITY];
  static size_t missing[PATH_CAPACITY];
  levels[0] = 0;
  append_wide_bounded(levels, path, PATH_CAPACITY);
  size_t missing_count = 0;
  for (size_t cut = parent_cut(levels, wcslen(levels)); cut != 0;
       cut = parent_cut(levels, cut)) {
    levels[cut] = 0;
    bool exists = ensure_directory(levels);
    levels[cut] = PLATFORM_SEPARATOR;
    if (exists) break;
    missing[missing_count++] = cut;
  }
  // Each level that could not be made on the way up is tried once more now
  // that its parent has had its turn; a failure shows up when the file
  // cannot be opened.
  while (missing_count > 0) {
    size_t cut = missing[--missing_count];
    levels[cut] = 0;
    ensure_directory(levels);
    levels[cut] = PLATFORM_SEPARATOR;
  }
}

size_t known_directory_count(void) {
  return KnownDirectoryCount;
}

void forget_known_directories(void) {
  for (size_t i = 0; i < KnownDirectoryCount; ++i) free(KnownDirectories[i]);
  KnownDirectoryCount = 0;
}
