// The records beside cache folders, and setting a folder aside for its
// removal, for a launcher built to clean its cache.
#include "platform/platform.h"
#include "platform/win32_for_tests.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>

#include "platform/win32/shared.h"

// A holder opens the record to read and write it, sharing reading and
// writing with the other holders but not deleting: a removal's open, which
// shares nothing and asks to delete it, fails while any holder has it, and
// while a removal has it every holder's open fails.
static const DWORD HOLD_ACCESS = GENERIC_READ | GENERIC_WRITE | READ_CONTROL;
static const DWORD HOLD_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;
static const DWORD CLAIM_ACCESS = GENERIC_READ | DELETE | READ_CONTROL;

// How long a hold waits for a removal that has taken the record.  It sets
// the folder and the record aside at once, so only a removal stopped in
// between (Ctrl+Z) comes near this; after it the start goes on unheld, as
// after the unpacking lock's wait.
static const ULONGLONG HOLD_WAIT_MS = 20000;

// A record is trusted as the quick start's stamp is: a plain file with one
// link, of this user's or the system's.
static bool sound_record(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION information;
  return GetFileInformationByHandle(file, &information) &&
         (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         information.nNumberOfLinks == 1 && owner_trust(file) == PLATFORM_TRUSTED;
}

// Wine opens a plain Unix link as what it leads to; only the path's
// attributes show it.
static bool shown_as_link(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

platform_handle platform_hold_record(const wchar_t* path) {
  SECURITY_ATTRIBUTES* attributes = private_folder_attributes();
  if (attributes == nullptr) return 0;
  ULONGLONG started = GetTickCount64();
  for (;;) {
    HANDLE file = CreateFileW(path, HOLD_ACCESS, HOLD_SHARE, attributes, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      if (!shown_as_link(path) && sound_record(file)) return (platform_handle)file;
      CloseHandle(file);
      return 0;
    }
    // A removal holds it: it is renamed aside in a moment.
    if (GetLastError() != ERROR_SHARING_VIOLATION || GetTickCount64() - started >= HOLD_WAIT_MS) return 0;
    Sleep(10);
  }
}

bool platform_read_record(platform_handle record, unsigned char* data, size_t size) {
  LARGE_INTEGER length;
  DWORD read = 0;
  OVERLAPPED at = {};
  return GetFileSizeEx(as_handle(record), &length) && (uint64_t)length.QuadPart == size &&
         ReadFile(as_handle(record), data, (DWORD)size, &read, &at) && read == size;
}

bool platform_write_record(platform_handle record, const unsigned char* data, size_t size) {
  DWORD written = 0;
  OVERLAPPED at = {};
  LARGE_INTEGER end;
  end.QuadPart = (LONGLONG)size;
  return WriteFile(as_handle(record), data, (DWORD)size, &written, &at) && written == size &&
         SetFilePointerEx(as_handle(record), end, nullptr, FILE_BEGIN) && SetEndOfFile(as_handle(record));
}

void platform_release_record(platform_handle record) {
  CloseHandle(as_handle(record));
}

platform_handle platform_claim_record(const wchar_t* path) {
  if (shown_as_link(path)) return 0;
  HANDLE file = CreateFileW(path, CLAIM_ACCESS, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  if (!sound_record(file)) {
    CloseHandle(file);
    return 0;
  }
  return (platform_handle)file;
}

// Renames what the handle, opened with DELETE, stands for to target.
static bool rename_by_handle(HANDLE file, const wchar_t* target) {
  size_t length = wcslen(target);
  alignas(FILE_RENAME_INFO) static unsigned char buffer[sizeof(FILE_RENAME_INFO) + 32768 * sizeof(wchar_t)];
  if (length >= 32768) return false;
  FILE_RENAME_INFO* rename = (FILE_RENAME_INFO*)buffer;
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = (DWORD)(length * sizeof(wchar_t));
  wmemcpy(rename->FileName, target, length + 1);
  return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                    (DWORD)(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t))) != 0;
}

platform_aside_result platform_set_folder_aside(const wchar_t* path, const wchar_t* aside) {
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PLATFORM_ASIDE_MISSING
                                                                         : PLATFORM_ASIDE_REFUSED;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return PLATFORM_ASIDE_REFUSED;
  }
  // Asking to delete fails while any process holds the folder without
  // delete sharing, as a launcher holds the folders it runs from.
  HANDLE folder = CreateFileW(path, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return PLATFORM_ASIDE_REFUSED;
  BY_HANDLE_FILE_INFORMATION information;
  bool moved = GetFileInformationByHandle(folder, &information) &&
               (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
               (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
               owner_trust(folder) == PLATFORM_TRUSTED && rename_by_handle(folder, aside);
  CloseHandle(folder);
  return moved ? PLATFORM_ASIDE_DONE : PLATFORM_ASIDE_REFUSED;
}

void platform_remove_record(platform_handle record, const wchar_t* path) {
  (void)path;
  FILE_DISPOSITION_INFO disposition = {TRUE};
  SetFileInformationByHandle(as_handle(record), FileDispositionInfo, &disposition, sizeof disposition);
  CloseHandle(as_handle(record));
}

bool platform_list_folder(const wchar_t* folder, bool (*visit)(const wchar_t* name, void* context),
                          void* context) {
  static wchar_t pattern[32768];
  size_t length = wcslen(folder);
  if (length + 3 > 32768) return false;
  wmemcpy(pattern, folder, length);
  size_t at = length;
  if (at > 0 && pattern[at - 1] != L'\\') pattern[at++] = L'\\';
  pattern[at++] = L'*';
  pattern[at] = 0;
  WIN32_FIND_DATAW found;
  HANDLE listing = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (listing == INVALID_HANDLE_VALUE) return false;
  do {
    if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
    if (!visit(found.cFileName, context)) break;
  } while (FindNextFileW(listing, &found));
  FindClose(listing);
  return true;
}

#endif
