#include "payload/directories.h"
#include "payload/directories_for_tests.h"

#include <stdlib.h>
#include <string.h>

#include "paths/bounded.h"
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

static bool Seeded;

static wchar_t Floor[PATH_CAPACITY];
static size_t FloorLength;

void set_directory_floor(const wchar_t* directory) {
  Floor[0] = 0;
  append_wide_bounded(Floor, directory, PATH_CAPACITY);
  FloorLength = wcslen(Floor);
}

// The floor itself included.
static bool below_floor(const wchar_t* path) {
  return FloorLength != 0 && wcsncmp(path, Floor, FloorLength) == 0 &&
         (path[FloorLength] == PLATFORM_SEPARATOR || path[FloorLength] == 0);
}

// Entry 0 is the profile directory, so that a climb ends there at the latest.
// It is looked up when a climb first asks for a folder that is not below the
// floor: the launcher's climbs stay below the target directory, which exists
// before any file is written, and finding the profile costs Windows the
// shell's libraries.  A user without one (no HOME and no account entry, as
// in containers that run any uid) starts with an empty table: only a
// template that names {HOME} needs a home, and its own expansion says so.
static void seed_with_profile_directory(void) {
  static wchar_t home[PATH_CAPACITY];
  Seeded = true;
  if (expand_path_template(home, L"{HOME}", PATH_CAPACITY)) {
    remember_directory(home);
  }
}

// ensure_directory, and *created tells whether this call made the directory.
static bool make_directory(const wchar_t* path, bool* created) {
  *created = false;
  if (!Seeded && !below_floor(path)) {
    seed_with_profile_directory();
  }
  // Newest first: files come sorted by name, so the folder asked for is
  // nearly always one of the last made.
  for (size_t i = KnownDirectoryCount; i > 0; --i) {
    if (wcscmp(KnownDirectories[i - 1], path) == 0) {
      return true;
    }
  }
  if (platform_is_bare_root(path)) {
    return true;
  }
  platform_directory_result result = platform_create_directory(path);
  if (result == PLATFORM_DIRECTORY_FAILED) {
    return false;
  }
  *created = result == PLATFORM_DIRECTORY_CREATED;
  remember_directory(path);
  return true;
}

bool ensure_directory(const wchar_t* path) {
  bool created;
  return make_directory(path, &created);
}

// The index of the separator that ends path's parent: the last one at index
// 1 or above, or 0 when there is none (no parent to make).
static size_t parent_cut(const wchar_t* path, size_t length) {
  while (length > 1 && path[length - 1] != PLATFORM_SEPARATOR) --length;
  return length > 1 ? length - 1 : 0;
}

// The folder of the last file whose folders were ensured.  Files come sorted
// by name, so those of one folder come one after another, and each of them
// but the first is answered here without a look at the table.  This also
// spares the folders that no longer fit in the table a system call per file.
static wchar_t LastParent[PATH_CAPACITY];
static size_t LastParentLength;

// Climbs from the file's directory until a level exists or can be made, then
// makes the levels below it from the top down.  One buffer serves every level,
// each level being a prefix of the path, so a deep path costs no stack.
size_t ensure_parent_directories(const wchar_t* path) {
  static wchar_t levels[PATH_CAPACITY];
  static size_t missing[PATH_CAPACITY];
  levels[0] = 0;
  append_wide_bounded(levels, path, PATH_CAPACITY);
  size_t parent_length = parent_cut(levels, wcslen(levels));
  if (parent_length != 0 && parent_length == LastParentLength &&
      wmemcmp(levels, LastParent, parent_length) == 0) {
    return 0;
  }
  size_t missing_count = 0;
  size_t topmost_created = 0;
  bool created;
  bool parent_there = false;
  for (size_t cut = parent_length; cut != 0; cut = parent_cut(levels, cut)) {
    levels[cut] = 0;
    bool exists = make_directory(levels, &created);
    levels[cut] = PLATFORM_SEPARATOR;
    if (exists) {
      if (created) topmost_created = cut;
      parent_there = cut == parent_length;
      break;
    }
    missing[missing_count++] = cut;
  }
  // Each level that could not be made on the way up is tried once more now
  // that its parent has had its turn, from the top down; a failure shows up
  // when the file cannot be opened.
  while (missing_count > 0) {
    size_t cut = missing[--missing_count];
    levels[cut] = 0;
    bool made = make_directory(levels, &created);
    levels[cut] = PLATFORM_SEPARATOR;
    if (created && topmost_created == 0) topmost_created = cut;
    if (cut == parent_length) parent_there = made;
  }
  // Remembered only when the folder is there now; one that could not be made
  // is tried again for the next file, as before.
  if (parent_there) {
    wmemcpy(LastParent, levels, parent_length);
    LastParentLength = parent_length;
  }
  return topmost_created;
}

size_t known_directory_count(void) {
  return KnownDirectoryCount;
}

void forget_known_directories(void) {
  for (size_t i = 0; i < KnownDirectoryCount; ++i) free(KnownDirectories[i]);
  KnownDirectoryCount = 0;
  LastParentLength = 0;
  Seeded = false;
  FloorLength = 0;
}
