// Below the target directory: every folder entered once, held open
// without letting it be renamed or deleted, never through a reparse point.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>

#include "platform/held_folders.h"
#include "platform/win32/shared.h"

// The folders held below the target directory, the target directory first:
// Held[i] is the folder whose path is HeldPath's first HeldEnds[i] units.
// Each is held without FILE_SHARE_DELETE, so that nobody can rename, delete
// or replace it while this start checks, writes and starts files by paths
// that run through it.
static const size_t HELD_DEPTH = 4096;
static wchar_t HeldPath[WALK_CAPACITY];
static size_t HeldEnds[HELD_DEPTH];
static HANDLE Held[HELD_DEPTH];
static size_t HeldDepth;

static HANDLE hold_folder(const wchar_t* path) {
  return CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

// Looks at the folder at HeldPath (cut at its end) through the handle: a
// plain folder gives the verdict on its owner and access list (on the
// launcher's own owner-less volume, trusted as the launcher is), a link
// PLATFORM_NOT_MADE with *link set.  Wine reports a Unix link only by path.
static platform_trust judge_held_folder(HANDLE folder, bool* link) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  *link = false;
  if (!GetFileInformationByHandleEx(folder, FileAttributeTagInfo, &tag, sizeof tag)) {
    return PLATFORM_TRUST_UNREADABLE;
  }
  DWORD by_path = GetFileAttributesW(HeldPath);
  DWORD attributes = tag.FileAttributes | (by_path != INVALID_FILE_ATTRIBUTES ? by_path : 0);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return PLATFORM_NOT_MADE;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A junction or symbolic link is replaced; any other reparse point
    // (cloud or deduplicated files) is a folder whose contents the system
    // fetches from elsewhere, and is refused.
    if (tag.ReparseTag != 0 && !IsReparseTagNameSurrogate(tag.ReparseTag)) return PLATFORM_TRUST_UNREADABLE;
    *link = true;
    return PLATFORM_NOT_MADE;
  }
  return inside_trust(folder);
}

// Opens and judges the folder at HeldPath; a link there is removed (the link
// itself) and a private folder made in its place.
static HANDLE open_inner_folder(platform_trust* trust) {
  HANDLE folder = hold_folder(HeldPath);
  if (folder == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    *trust = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PLATFORM_NOT_MADE
                                                                            : PLATFORM_TRUST_UNREADABLE;
    return folder;
  }
  bool link = false;
  *trust = judge_held_folder(folder, &link);
  if (!link) return folder;
  CloseHandle(folder);
  if (!RemoveDirectoryW(HeldPath) ||
      platform_create_directory(HeldPath) != PLATFORM_DIRECTORY_CREATED) {
    return INVALID_HANDLE_VALUE;  // stays PLATFORM_NOT_MADE
  }
  folder = hold_folder(HeldPath);
  if (folder == INVALID_HANDLE_VALUE) return folder;
  *trust = judge_held_folder(folder, &link);
  return folder;
}

void let_go_below(size_t depth) {
  while (HeldDepth > depth) CloseHandle(Held[--HeldDepth]);
}

platform_trust platform_enter_folder(const wchar_t* path, size_t target_length, size_t length,
                                     wchar_t* culprit, size_t capacity) {
  if (length >= WALK_CAPACITY) {
    copy_cut(path, culprit, capacity);
    return PLATFORM_TRUST_UNREADABLE;
  }
  let_go_below(held_on_the_way(HeldPath, HeldEnds, HeldDepth, path, target_length, length, L'\\'));
  wmemcpy(HeldPath, path, length);
  HeldPath[length] = 0;
  if (HeldDepth == 0) {
    // Judged already; held so that it stays where it was judged.
    HeldPath[target_length] = 0;
    HANDLE target = hold_folder(HeldPath);
    if (target == INVALID_HANDLE_VALUE) {
      copy_cut(HeldPath, culprit, capacity);
      return PLATFORM_TRUST_UNREADABLE;
    }
    HeldPath[target_length] = path[target_length];
    Held[0] = target;
    HeldEnds[0] = target_length;
    HeldDepth = 1;
  }
  for (size_t at = HeldEnds[HeldDepth - 1]; at < length;) {
    size_t end = next_component(path, &at, length, L'\\');
    if (end == at) break;
    if (HeldDepth == HELD_DEPTH) return PLATFORM_NOT_MADE;
    wchar_t after = HeldPath[end];
    HeldPath[end] = 0;
    platform_trust trust = PLATFORM_TRUSTED;
    HANDLE folder = open_inner_folder(&trust);
    if (trust != PLATFORM_TRUSTED) {
      if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
      if (trust != PLATFORM_NOT_MADE) copy_cut(HeldPath, culprit, capacity);
      HeldPath[end] = after;
      return trust;
    }
    HeldPath[end] = after;
    Held[HeldDepth] = folder;
    HeldEnds[HeldDepth++] = end;
    at = end;
  }
  return PLATFORM_TRUSTED;
}

void platform_leave_folders(void) {
  let_go_below(0);
}

#endif
