// The lock that keeps launchers of one target folder from writing at once.
#include "platform/platform.h"
#include "platform/win32_for_tests.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>
#include <stdio.h>

#include "platform/win32/shared.h"

static const DWORD LOCK_POLL_MS = 20;

// The lock is a mutex named after the folder's identity, its volume serial
// number and file index, read from a handle to the folder: every spelling of
// the folder (case, short names, "\\?\" forms, links, subst drives) gives the
// same name, and nothing lies in the folder.  The system gives an abandoned
// mutex to the next waiter when its holder ends, however it ends; that
// waiter then holds it, and looks at each file again as always.
//
// The name lives in Global\, so that every session of the user, services
// and scheduled tasks included, meets the same lock.  Any account can
// create a name there first, so the launcher creates the mutex with the
// private descriptor (the user, SYSTEM and Administrators) and uses one that
// already exists only when the user or the system owns it: a name another
// account holds, or made first, is never waited on, and the start goes on at
// once without the lock, as after the wait.  (Local\, the session's own
// names, would keep other sessions' accounts out, but two sessions of the
// same user would then write into one folder at the same time; a private
// namespace, bounded by the user's SID, would need neither check, but Wine
// has none to test it with.)
static bool folder_mutex_name(const wchar_t* directory, wchar_t* name, size_t capacity) {
  HANDLE folder = CreateFileW(directory, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  bool known = GetFileInformationByHandle(folder, &information) != 0;
  CloseHandle(folder);
  return known && _snwprintf(name, capacity, L"Global\\zovari-onefile-%08lx-%08lx%08lx",
                             information.dwVolumeSerialNumber, information.nFileIndexHigh,
                             information.nFileIndexLow) > 0;
}

platform_handle platform_lock_directory(const wchar_t* directory, uint32_t milliseconds) {
  wchar_t name[64];
  SECURITY_ATTRIBUTES* attributes = private_folder_attributes();
  if (attributes == nullptr || !folder_mutex_name(directory, name, 64)) return 0;
  HANDLE mutex = CreateMutexW(attributes, FALSE, name);
  if (mutex == nullptr) return 0;
  // Wine keeps no owner for a mutex; Windows always gives one.
  if (GetLastError() == ERROR_ALREADY_EXISTS && owner_trust(mutex) == PLATFORM_NOT_OWNED) {
    CloseHandle(mutex);
    return 0;
  }
  ULONGLONG started = GetTickCount64();
  for (;;) {
    DWORD waited = WaitForSingleObject(mutex, LOCK_POLL_MS);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return (platform_handle)mutex;
    if (waited != WAIT_TIMEOUT || GetTickCount64() - started >= milliseconds) break;
  }
  CloseHandle(mutex);
  return 0;
}

// A mutex leaves nothing behind: it ends with the last handle to it.
void platform_lock_folders_per_start(void) {}

void platform_unlock_directory(platform_handle lock) {
  ReleaseMutex(as_handle(lock));
  CloseHandle(as_handle(lock));
}

#endif
