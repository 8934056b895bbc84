// Paths and folders: making a folder, names as this system spells them,
// full paths, and the folders behind the template tokens.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/linux_folders.h"
#include "platform/utf8.h"
#include "platform/creation_mask.h"
#include "platform/posix/shared.h"

extern char** environ;

size_t platform_wide_from_utf16(const uint16_t* units, size_t count, wchar_t* out) {
  size_t written = 0;
  for (size_t i = 0; i < count; ++i) {
    uint32_t unit = units[i];
    if (utf16_is_high_surrogate(unit) && i + 1 < count && utf16_is_low_surrogate(units[i + 1])) {
      unit = utf16_pair_code(unit, units[i + 1]);
      ++i;
    } else if (utf16_is_surrogate(unit)) {
      // A lone surrogate goes out as the three bytes its value would take,
      // held as the units that stand for bytes which are not UTF-8.  Kept as
      // itself, one of U+DC80..U+DCFF would come out as a single byte, and
      // two different names of one payload could meet in one file.
      unsigned char bytes[4];
      size_t length = utf8_encode(unit, bytes);
      for (size_t b = 0; b < length; ++b) out[written++] = (wchar_t)(0xDC00 + bytes[b]);
      continue;
    }
    out[written++] = (wchar_t)unit;
  }
  out[written] = 0;
  return written;
}

platform_directory_result platform_create_directory(const wchar_t* path) {
  const char* name = narrow(path);
  if (name == nullptr) {
    errno = ENAMETOOLONG;
    return PLATFORM_DIRECTORY_FAILED;
  }
  // Only the user may look into or change what the launcher unpacks.
  if (make_folder(AT_FDCWD, name)) return PLATFORM_DIRECTORY_CREATED;
  return errno == EEXIST ? PLATFORM_DIRECTORY_EXISTS : PLATFORM_DIRECTORY_FAILED;
}

// A name reaches exactly the file it spells, every unit standing for its own
// bytes (see platform_wide_from_utf16), once "." and ".." components and
// doubled separators are left out.
bool platform_name_key(const wchar_t* name, wchar_t* key) {
  size_t start = 0;
  for (size_t i = 0;; ++i) {
    wchar_t unit = name[i];
    if (unit == L'/' || unit == 0) {
      size_t length = i - start;
      if (length == 0) return false;
      if (length <= 2 && name[start] == L'.' && (length == 1 || name[start + 1] == L'.')) return false;
      start = i + 1;
    }
    key[i] = unit;
    if (unit == 0) return true;
  }
}

bool platform_is_bare_root(const wchar_t*) {
  return false;
}

// Resolves ".", ".." and doubled separators lexically, as the Windows call
// does: links are not followed.
size_t platform_full_path(const wchar_t* path, wchar_t* out, size_t capacity) {
  static wchar_t joined[2 * 4096 + 2];
  const size_t joined_capacity = sizeof joined / sizeof joined[0];
  size_t length = 0;
  if (path[0] != L'/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return 0;
    size_t cwd_length = widen(cwd, joined, joined_capacity - 1);
    if (cwd_length == (size_t)-1) return 0;
    length = cwd_length;
    joined[length++] = L'/';
  }
  size_t path_length = wcslen(path);
  if (length + path_length + 1 > joined_capacity) return joined_capacity;
  wmemcpy(joined + length, path, path_length + 1);

  size_t written = 0;
  const wchar_t* unit = joined;
  while (*unit != 0) {
    while (*unit == L'/') ++unit;
    const wchar_t* end = unit;
    while (*end != 0 && *end != L'/') ++end;
    size_t part = (size_t)(end - unit);
    if (part == 0 || (part == 1 && unit[0] == L'.')) {
      // nothing to add
    } else if (part == 2 && unit[0] == L'.' && unit[1] == L'.') {
      while (written > 0 && out[written] != L'/') --written;
    } else {
      if (written + 1 + part + 1 > capacity) return written + 1 + part + 1;
      out[written++] = L'/';
      wmemcpy(out + written, unit, part);
      written += part;
    }
    out[written] = 0;
    unit = end;
  }
  if (written == 0) {
    if (capacity < 2) return 2;
    out[written++] = L'/';
  }
  out[written] = 0;
  return written;
}

variable_folder absolute_variable(const char* name, wchar_t* out, size_t capacity) {
  const char* value = getenv(name);
  if (!LINUX_FOLDER_VARIABLE_COUNTS(value)) return FOLDER_UNSET;
  if (widen(value, out, capacity) == (size_t)-1) {
    out[0] = 0;
    return FOLDER_TOO_LONG;
  }
  return FOLDER_FOUND;
}

size_t platform_temp_directory(wchar_t* out, size_t capacity) {
  variable_folder from_variable = absolute_variable(LINUX_TEMP_VARIABLE, out, capacity);
  if (from_variable != FOLDER_UNSET) return from_variable == FOLDER_FOUND ? wcslen(out) : 0;
  if (capacity < sizeof LINUX_DEFAULT_TEMP) return 0;
  wcscpy(out, L"" LINUX_DEFAULT_TEMP);
  return sizeof LINUX_DEFAULT_TEMP - 1;
}

// The path the launcher was executed by, which the kernel hands every
// process (AT_EXECFN), made absolute against the current folder, which the
// launcher has not changed: where /proc is not mounted (a plain chroot)
// there is no other way to ask.  "." components at its start are left out;
// ".." ones are kept, since a link before them leads elsewhere than the
// folder that the name shows.
static size_t executed_path(wchar_t* out, size_t capacity) {
  const char* executed = (const char*)getauxval(AT_EXECFN);
  if (executed == nullptr || executed[0] == 0) return 0;
  size_t length = 0;
  if (executed[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return 0;
    length = widen(cwd, out, capacity);
    if (length == (size_t)-1 || length + 2 > capacity) return 0;
    if (length > 1) out[length++] = L'/';
    while (executed[0] == '.' && executed[1] == '/') {
      executed += 2;
      while (executed[0] == '/') ++executed;
    }
  }
  size_t rest = widen(executed, out + length, capacity - length);
  if (rest == (size_t)-1) {
    out[0] = 0;
    return 0;
  }
  return length + rest;
}

size_t platform_executable_path(wchar_t* out, size_t capacity) {
  char target[PATH_MAX + 1];
  ssize_t length = readlink("/proc/self/exe", target, PATH_MAX);
  if (length <= 0) return executed_path(out, capacity);
  target[length] = 0;
  size_t widened = widen(target, out, capacity);
  if (widened == (size_t)-1) {
    out[0] = 0;
    return 0;
  }
  return widened;
}

#endif
