// Removing a folder that a start made for itself, by handles relative to
// their folder, never through a reparse point.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>
#include <winternl.h>

#include "platform/win32/shared.h"

typedef NTSTATUS(NTAPI* open_relative_function)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                                PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                                                ULONG, ULONG, PVOID, ULONG);

// Folders deeper than this below the target are left; no application's
// tree comes near it, and each level holds a listing buffer and a handle.
static const int DEEPEST_REMOVAL = 64;

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

// Deletes what the folder holds, each entry opened relative to the folder's
// handle: a link (a junction, a symbolic link) is deleted itself, never
// entered.  Entries are listed again after a pass that deleted any; a pass
// that deletes nothing ends it, so what another process holds is left.
static void empty_folder(HANDLE folder, int depth) {
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
        HANDLE inside = dots ? INVALID_HANDLE_VALUE : open_inside(folder, name, count, is_folder);
        if (inside != INVALID_HANDLE_VALUE) {
          if (is_folder && depth < DEEPEST_REMOVAL && is_plain_folder(inside)) {
            empty_folder(inside, depth + 1);
          }
          delete_on_close(inside);
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

void platform_remove_directory_tree(const wchar_t* directory) {
  // The folders held open below the target since the unpacking are let go
  // first: Windows keeps a held folder from being deleted.
  let_go_below(0);
  // The folders above were judged before anything was unpacked: no other
  // account can change them, so the path leads to the folder itself.
  HANDLE folder = CreateFileW(directory, DELETE | SYNCHRONIZE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return;
  if (is_plain_folder(folder)) {
    empty_folder(folder, 0);
    delete_on_close(folder);
  }
  CloseHandle(folder);
}

#endif
