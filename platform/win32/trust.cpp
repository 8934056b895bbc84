// Trust: the walk that makes and judges every folder of the target's
// chain.
#include "platform/platform.h"
#include "platform/win32_for_tests.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>

#include "platform/win32/shared.h"

void copy_cut(const wchar_t* text, wchar_t* out, size_t capacity) {
  if (capacity == 0) return;
  size_t length = wcslen(text);
  if (length > capacity - 1) length = capacity - 1;
  wmemcpy(out, text, length);
  out[length] = 0;
}

static HANDLE open_for_owner(const wchar_t* path, DWORD flags) {
  return CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// The length of the root a full path starts with, separator included ("C:\",
// "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\", "\\?\Volume{...}\");
// 0 for none of these.
static size_t after_component(const wchar_t* path, size_t at) {
  while (path[at] != 0 && path[at] != L'\\') ++at;
  return path[at] == L'\\' ? at + 1 : at;
}

static size_t root_length(const wchar_t* path) {
  bool device = wcsncmp(path, L"\\\\?\\", 4) == 0 || wcsncmp(path, L"\\\\.\\", 4) == 0;
  const wchar_t* rest = device ? path + 4 : path;
  size_t base = device ? 4 : 0;
  if (rest[0] != 0 && rest[1] == L':' && rest[2] == L'\\') return base + 3;
  if (device && _wcsnicmp(rest, L"UNC\\", 4) == 0) {
    return after_component(path, after_component(path, base + 4));
  }
  if (device) return after_component(path, base);
  if (path[0] == L'\\' && path[1] == L'\\') return after_component(path, after_component(path, 2));
  return 0;
}

// The walk's buffers: the path still to walk (a link's target takes the
// place of the link) and the part of it being looked at.
static wchar_t Walked[WALK_CAPACITY];
static wchar_t Looked[WALK_CAPACITY];

// Opens the folder at Looked without following a link there, making it first,
// with the private descriptor, when it is missing.  Its folder has been judged
// already.  A folder made here needs no judging: it is the user's by its
// making.  INVALID_HANDLE_VALUE with *trust set otherwise.
static HANDLE open_or_make(platform_trust* trust, bool* made) {
  *made = false;
  HANDLE folder = open_for_owner(Looked, FILE_FLAG_OPEN_REPARSE_POINT);
  if (folder != INVALID_HANDLE_VALUE) return folder;
  DWORD error = GetLastError();
  if (error != ERROR_FILE_NOT_FOUND) {
    *trust = error == ERROR_PATH_NOT_FOUND ? PLATFORM_NOT_MADE : PLATFORM_TRUST_UNREADABLE;
    return INVALID_HANDLE_VALUE;
  }
  platform_directory_result result = platform_create_directory(Looked);
  if (result == PLATFORM_DIRECTORY_FAILED) {
    *trust = PLATFORM_NOT_MADE;
  } else if (result == PLATFORM_DIRECTORY_CREATED) {
    *made = true;
    note_made_folder(Looked);
    *trust = PLATFORM_TRUSTED;
  } else {
    folder = open_for_owner(Looked, FILE_FLAG_OPEN_REPARSE_POINT);
    *trust = PLATFORM_TRUST_UNREADABLE;
  }
  return folder;
}

// Judges the folder behind the handle: its owner and its access list, as a
// folder above the target when above.  A link (a junction or a symbolic
// link) is judged as an object of its own, as strictly as the target, since
// an account that may write to it could point it elsewhere, and *link says
// to follow it.
static platform_trust judge_folder(HANDLE folder, bool above, bool* link) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  *link = false;
  if (!GetFileInformationByHandleEx(folder, FileAttributeTagInfo, &tag, sizeof tag)) {
    return PLATFORM_TRUST_UNREADABLE;
  }
  // Other reparse points (deduplicated or cloud files) are no links.
  *link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
          IsReparseTagNameSurrogate(tag.ReparseTag);
  platform_trust trust = judge_folder_security(
      read_security(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
      above && !*link);
  return trust != PLATFORM_TRUSTED && ownerless_launcher_volume(folder) ? PLATFORM_TRUSTED : trust;
}

// Puts the final path of what Looked leads to in front of the rest of the
// walk, from position rest of Walked on.  False when that cannot be had or
// does not fit.
static bool follow_link(size_t rest) {
  HANDLE followed = open_for_owner(Looked, 0);
  if (followed == INVALID_HANDLE_VALUE) return false;
  DWORD length = GetFinalPathNameByHandleW(followed, Looked, (DWORD)WALK_CAPACITY,
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(followed);
  size_t rest_length = wcslen(Walked + rest);
  if (length == 0 || length + rest_length + 1 > WALK_CAPACITY) return false;
  wmemmove(Walked + length, Walked + rest, rest_length + 1);
  wmemcpy(Walked, Looked, length);
  return true;
}

// Walks the path from its root one folder at a time, making what is missing
// and following each link to the final path it leads to, whose folders are
// then walked in turn.  Every folder on the way and the target itself must be
// owned by the user or by the system's own accounts: an account that owns a
// folder can give itself the right to rename or replace what it holds, and
// C:\ProgramData lets every user make a folder there that they own.  Their
// access lists must keep other accounts out as judge_folder_security says:
// a folder made by hand in C:\ProgramData inherits the right of every user
// to add files to it.  When all of it exists that is one open per folder.  The launcher then works by
// path: no other account can rename or replace any part of the judged chain.
platform_trust platform_secure_directory(const wchar_t* directory, wchar_t* culprit,
                                         size_t capacity, bool* made_target) {
  *made_target = false;
  forget_made_folders();
  size_t length = wcslen(directory);
  if (length + 1 > WALK_CAPACITY) {
    copy_cut(directory, culprit, capacity);
    return PLATFORM_TRUST_UNREADABLE;
  }
  wmemcpy(Walked, directory, length + 1);
  platform_trust trust = PLATFORM_TRUSTED;
  for (int links = 0; trust == PLATFORM_TRUSTED;) {
    size_t at = root_length(Walked);
    if (at == 0) {
      trust = PLATFORM_TRUST_UNREADABLE;
      wmemcpy(Looked, Walked, wcslen(Walked) + 1);
      break;
    }
    bool followed = false;
    // The root first, then each folder below it; at is where the next begins.
    for (size_t end = at; trust == PLATFORM_TRUSTED; at = end) {
      wmemcpy(Looked, Walked, end);
      Looked[end] = 0;
      size_t next = end;
      while (Walked[next] == L'\\') ++next;
      bool made = false, link = false;
      HANDLE folder = open_or_make(&trust, &made);
      // The last folder looked at is the target directory itself.
      *made_target = made;
      if (folder != INVALID_HANDLE_VALUE) {
        if (!made) trust = judge_folder(folder, Walked[next] != 0, &link);
        CloseHandle(folder);
      }
      if (trust != PLATFORM_TRUSTED) break;
      if (link) {
        // The rest keeps its separator: it follows the final path.
        if (++links > 40 || !follow_link(end)) trust = PLATFORM_TRUST_UNREADABLE;
        followed = true;
        break;
      }
      end = next;
      if (Walked[end] == 0) break;
      end = after_component(Walked, end);
      if (Walked[end - 1] == L'\\') --end;
    }
    if (!followed) break;
  }
  if (trust != PLATFORM_TRUSTED) copy_cut(Looked, culprit, capacity);
  return trust;
}

#endif
