// Removing a folder's tree by handles relative to their folder, never
// through a link, and the folders a start made for itself, from handles held
// since they were made.
//
//   the walk:          open_inside, still_the_entry, empty_folder
//   one folder's tree: platform_remove_tree_at, platform_remove_directory_tree
//   a start's folders: note_made_folder, forget_made_folders,
//                      platform_remove_made_folders
#include "platform/platform.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>
#include <winternl.h>

#include <atomic>

#include "platform/win32/shared.h"

typedef NTSTATUS(NTAPI* open_relative_function)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                                PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                                                ULONG, ULONG, PVOID, ULONG);

// Folders deeper than this below the folder removed are left; no
// application's tree comes near it, and each level holds a listing buffer
// and a handle.
static const int DEEPEST_REMOVAL = 64;

// Set by platform_stop_removal from another thread: every walk ends at its
// next entry, leaving what is left.
static std::atomic<bool> RemovalStopped(false);

// The path of the folder being emptied, as the system gives it for its
// handle, and below it the entry looked at; and an entry's own path, read
// from its handle.  Wine opens a Unix symbolic link as what it leads to,
// even with FILE_OPEN_REPARSE_POINT, and deletes by the path it opened: a
// link shows only by its path, and what a handle leads to by the handle's.
static const size_t REMOVAL_PATH_CAPACITY = 32768;
static wchar_t FolderPath[REMOVAL_PATH_CAPACITY];
static wchar_t EntryPath[REMOVAL_PATH_CAPACITY];

static bool must_end(ULONGLONG deadline) {
  return RemovalStopped.load(std::memory_order_relaxed) || GetTickCount64() >= deadline;
}

// Opens name (count units, not NUL-terminated) inside the folder behind
// parent, relative to that handle, never following a link there: a folder
// for listing and deleting, anything else for deleting alone, so that a
// file another process shares for deleting but not for reading still goes.
static HANDLE open_inside(HANDLE parent, const wchar_t* name, size_t count, bool folder) {
  static open_relative_function open_relative = (open_relative_function)(void*)GetProcAddress(
      GetModuleHandleW(L"ntdll.dll"), "NtCreateFile");
  if (open_relative == nullptr || count * sizeof(wchar_t) > 0xFFFF) return INVALID_HANDLE_VALUE;
  UNICODE_STRING text;
  text.Buffer = (PWSTR)name;
  text.Length = text.MaximumLength = (USHORT)(count * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
  IO_STATUS_BLOCK status;
  HANDLE opened = INVALID_HANDLE_VALUE;
  ACCESS_MASK access = DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES | (folder ? FILE_LIST_DIRECTORY : 0);
  ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT |
                  (folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
  NTSTATUS result = open_relative(&opened, access, &attributes, &status, nullptr, 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                  options, nullptr, 0);
  return result >= 0 ? opened : INVALID_HANDLE_VALUE;
}

// A folder (not a link to one) behind the handle.
static bool is_plain_folder(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
         (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Whether the handle is itself a link (Windows opens a link as itself).
static bool handle_is_link(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Writes the path the system gives for handle into out; false when it does
// not fit or cannot be read.
static bool path_of(HANDLE handle, wchar_t* out) {
  DWORD got = GetFinalPathNameByHandleW(handle, out, (DWORD)REMOVAL_PATH_CAPACITY, FILE_NAME_NORMALIZED);
  return got > 0 && got < REMOVAL_PATH_CAPACITY;
}

// Whether inside, just opened as the entry whose path is FolderPath (with
// the entry's name appended) and whose listing gave identity, is that very
// entry: the same file, at the same path, and not what a link there leads
// to.  A link that the handle shows as itself (Windows) may go; one that
// only the path shows (Wine, which opened what it leads to) stays, and so
// does an entry swapped meanwhile.
static bool still_the_entry(HANDLE inside, LONGLONG identity) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(inside, &information)) return false;
  LONGLONG index = (LONGLONG)(((ULONGLONG)information.nFileIndexHigh << 32) | information.nFileIndexLow);
  if (identity != 0 && index != identity) return false;
  if (handle_is_link(inside)) return true;
  DWORD by_path = GetFileAttributesW(FolderPath);
  if (by_path == INVALID_FILE_ATTRIBUTES || (by_path & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
  return path_of(inside, EntryPath) &&
         CompareStringOrdinal(EntryPath, -1, FolderPath, -1, TRUE) == CSTR_EQUAL;
}

// Has the object behind the handle deleted when the handle is closed.  A
// read-only file is made writable first, as it is ours to remove.
static void delete_on_close(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) return;
  FILE_BASIC_INFO basic;
  if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    basic.FileAttributes &= ~(DWORD)FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
    basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
    if (SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) {
      SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    }
  }
}

// Deletes what the folder (whose path FolderPath holds, length units) holds,
// each entry opened relative to the folder's handle and checked to be the
// entry listed: a link (a junction, a symbolic link) is deleted itself,
// never entered, or left where only its path shows it.  Entries are listed
// again after a pass that deleted any; a pass that deletes nothing ends it,
// so what another process holds is left, and so do the deadline and a stop.
static void empty_folder(HANDLE folder, size_t length, ULONGLONG deadline, int depth) {
  alignas(8) unsigned char buffer[4096];
  for (bool deleted = true; deleted;) {
    deleted = false;
    FILE_INFO_BY_HANDLE_CLASS listing = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, listing, buffer, sizeof buffer)) {
      listing = FileIdBothDirectoryInfo;
      for (size_t at = 0;;) {
        const FILE_ID_BOTH_DIR_INFO* entry = (const FILE_ID_BOTH_DIR_INFO*)(buffer + at);
        const wchar_t* name = entry->FileName;
        size_t count = entry->FileNameLength / sizeof(wchar_t);
        bool dots = (count == 1 && name[0] == L'.') || (count == 2 && name[0] == L'.' && name[1] == L'.');
        bool is_folder = (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                         (entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        if (!dots && must_end(deadline)) return;
        bool fits = length + 1 + count < REMOVAL_PATH_CAPACITY;
        HANDLE inside = dots || !fits ? INVALID_HANDLE_VALUE : open_inside(folder, name, count, is_folder);
        if (inside != INVALID_HANDLE_VALUE) {
          FolderPath[length] = L'\\';
          wmemcpy(FolderPath + length + 1, name, count);
          FolderPath[length + 1 + count] = 0;
          if (still_the_entry(inside, entry->FileId.QuadPart)) {
            if (is_folder && depth < DEEPEST_REMOVAL && is_plain_folder(inside)) {
              empty_folder(inside, length + 1 + count, deadline, depth + 1);
            }
            delete_on_close(inside);
          }
          FolderPath[length] = 0;
          CloseHandle(inside);
          HANDLE still = open_inside(folder, name, count, is_folder);
          if (still == INVALID_HANDLE_VALUE) {
            deleted = true;
          } else {
            CloseHandle(still);
          }
        }
        if (entry->NextEntryOffset == 0) break;
        at += entry->NextEntryOffset;
      }
    }
  }
}

// Empties the folder behind the handle, from its own path.
static void empty_held_folder(HANDLE folder, ULONGLONG deadline) {
  if (!path_of(folder, FolderPath)) return;
  // Wine works by paths: what lies at the handle's path now must be the
  // folder itself, not a link put in its place.
  DWORD by_path = GetFileAttributesW(FolderPath);
  if (by_path == INVALID_FILE_ATTRIBUTES || (by_path & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return;
  empty_folder(folder, wcslen(FolderPath), deadline, 0);
}

bool platform_remove_tree_at(platform_handle parent, const wchar_t* name, uint32_t milliseconds) {
  size_t count = wcslen(name);
  if (parent == 0 || count == 0 || wcspbrk(name, L"\\/:") != nullptr || wcscmp(name, L".") == 0 ||
      wcscmp(name, L"..") == 0) {
    return false;
  }
  ULONGLONG deadline = GetTickCount64() + milliseconds;
  HANDLE folder = open_inside(as_handle(parent), name, count, true);
  if (folder == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND;
  }
  bool plain = false;
  if (path_of(as_handle(parent), FolderPath)) {
    size_t length = wcslen(FolderPath);
    if (length + 1 + count < REMOVAL_PATH_CAPACITY) {
      FolderPath[length] = L'\\';
      wmemcpy(FolderPath + length + 1, name, count + 1);
      plain = is_plain_folder(folder) && still_the_entry(folder, 0);
    }
  }
  if (plain) {
    empty_held_folder(folder, deadline);
    delete_on_close(folder);
  }
  CloseHandle(folder);
  if (!plain) return false;
  HANDLE still = open_inside(as_handle(parent), name, count, true);
  if (still == INVALID_HANDLE_VALUE) return true;
  CloseHandle(still);
  return false;
}

platform_handle platform_hold_folder(const wchar_t* path) {
  HANDLE folder = CreateFileW(path, SYNCHRONIZE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return folder != INVALID_HANDLE_VALUE ? (platform_handle)folder : 0;
}

void platform_release_folder(platform_handle folder) {
  if (folder != 0) CloseHandle(as_handle(folder));
}

void platform_stop_removal(void) {
  RemovalStopped.store(true);
}

void platform_remove_directory_tree(const wchar_t* directory, uint32_t milliseconds) {
  // The folders held open below the target since the unpacking are let go
  // first: Windows keeps a held folder from being deleted.
  let_go_below(0);
  static wchar_t above[REMOVAL_PATH_CAPACITY];
  size_t length = wcslen(directory);
  if (length == 0 || length >= REMOVAL_PATH_CAPACITY) return;
  wmemcpy(above, directory, length + 1);
  wchar_t* last = wcsrchr(above, L'\\');
  if (last == nullptr || last[1] == 0) return;
  wchar_t name[MAX_PATH];
  if (wcslen(last + 1) >= MAX_PATH) return;
  wcscpy(name, last + 1);
  // A drive's root keeps its separator: "C:" alone is the current folder there.
  last[last > above && last[-1] == L':' ? 1 : 0] = 0;
  platform_handle parent = platform_hold_folder(above);
  platform_remove_tree_at(parent, name, milliseconds);
  platform_release_folder(parent);
}

// --- The folders a start made -----------------------------------------------

// The folders that the last platform_secure_directory made, top down, each
// held by a handle opened as it was made, for listing, sharing everything
// with the child.  It holds no right to delete: the folders held below the
// target (inside.cpp) share no deletion, and an open that does not share
// deletion fails while another handle may delete.  The removal opens the
// same folder again from it, for deleting, once those are let go: such a
// handle deletes the folder it was opened on wherever the child has moved
// it (Wine: by the path it was opened by, where a link fails).
static const int DEEPEST_MADE = 64;
static HANDLE Made[DEEPEST_MADE];
static int MadeCount;

void platform_forget_made_folders(void) {
  forget_made_folders();
}

void forget_made_folders(void) {
  while (MadeCount > 0) CloseHandle(Made[--MadeCount]);
}

void note_made_folder(const wchar_t* path) {
  if (MadeCount == DEEPEST_MADE) return;
  HANDLE folder = CreateFileW(path, SYNCHRONIZE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder != INVALID_HANDLE_VALUE) Made[MadeCount++] = folder;
}

void platform_remove_made_folders(uint32_t milliseconds) {
  let_go_below(0);
  if (MadeCount == 0) return;
  ULONGLONG deadline = GetTickCount64() + milliseconds;
  if (is_plain_folder(Made[MadeCount - 1])) empty_held_folder(Made[MadeCount - 1], deadline);
  // Each folder goes only when it is empty; the first that stays keeps every
  // folder above it.
  while (MadeCount > 0 && !RemovalStopped.load()) {
    HANDLE folder = Made[--MadeCount];
    bool whole = path_of(folder, FolderPath);
    DWORD by_path = whole ? GetFileAttributesW(FolderPath) : INVALID_FILE_ATTRIBUTES;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    HANDLE again = by_path != INVALID_FILE_ATTRIBUTES && (by_path & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                           is_plain_folder(folder)
                       ? ReOpenFile(folder, DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT)
                       : INVALID_HANDLE_VALUE;
    bool deleting = again != INVALID_HANDLE_VALUE &&
                    SetFileInformationByHandle(again, FileDispositionInfo, &disposition, sizeof disposition);
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
    CloseHandle(folder);
    if (!deleting) break;
  }
}

#endif
