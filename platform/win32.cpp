// The platform seam on Windows: the wide Win32 calls only.
//
// Sections:
//   errors     GetLastError, FormatMessageA
//   files      CreateFileW/WriteFile, contents read through one buffer
//   paths      directories, full paths, the folders behind the template tokens
//   environment, identity and time
//   arguments  the C run-time's wide argument vector, CommandLineToArgvW
//   processes  CreateProcessW, waits, SetConsoleCtrlHandler
//
// Everything but the seam is static.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher/child.h"

// ---------------------------------------------------------------- errors

uint32_t platform_last_error(void) {
  return (uint32_t)GetLastError();
}

char* platform_error_text(uint32_t code) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), (LPSTR)&text, 0, nullptr);
  return length != 0 ? text : nullptr;
}

char* platform_display_text(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return nullptr;
  char* converted = (char*)malloc((size_t)size);
  if (converted != nullptr &&
      WideCharToMultiByte(CP_UTF8, 0, text, -1, converted, size, nullptr, nullptr) <= 0) {
    converted[0] = 0;
  }
  return converted;
}

// ---------------------------------------------------------------- files

static HANDLE as_handle(platform_handle handle) {
  return (HANDLE)handle;
}

// An empty record's file is written at every start, also while children of
// other launchers run; letting them read it meanwhile keeps their opens from
// failing on a file that holds nothing anyway.
platform_handle platform_create_file(const wchar_t* path, bool, bool stays_empty) {
  DWORD share = stays_empty ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_WRITE;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, share, nullptr, CREATE_ALWAYS, 0, nullptr);
  return file == INVALID_HANDLE_VALUE ? 0 : (platform_handle)file;
}

bool platform_write_file(platform_handle file, const void* data, uint32_t size) {
  const char* next = (const char*)data;
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(as_handle(file), next, size, &written, nullptr)) return false;
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    next += written;
    size -= written;
  }
  return true;
}

void platform_close_file(platform_handle file) {
  CloseHandle(as_handle(file));
}

// Contents are read through one buffer, not mapped.  A mapping object and a
// view per file cost far more than a read for the small files that make up
// most applications, a view of a large file would swell the working set by
// the whole file, and a read meets a file that another process cuts short
// with a short count rather than an access violation.  One buffer serves,
// since only the launcher's own thread checks files.  The length is read in
// 64 bits, so a file of 4 GiB or more is checked whole like any other.
static const DWORD VIEW_PIECE = 256 * 1024;
static unsigned char ViewBuffer[VIEW_PIECE];

bool platform_open_view(const wchar_t* path, platform_view* view) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0) {
    CloseHandle(file);
    return false;
  }
  view->data = nullptr;
  view->size = 0;
  view->file = (platform_handle)file;
  view->mapping = 0;
  view->offset = 0;
  view->length = (uint64_t)size.QuadPart;
  return true;
}

// Reads up to the length seen at the open and no further, which spares the
// read that would only find the end.  A file that has shrunk meanwhile ends
// early and counts as a failure, so its checksum is 0 and it is written again.
bool platform_next_view(platform_view* view, bool* failed) {
  if (view->offset >= view->length) return false;
  uint64_t left = view->length - view->offset;
  DWORD wanted = left < VIEW_PIECE ? (DWORD)left : VIEW_PIECE;
  DWORD got = 0;
  if (!ReadFile(as_handle(view->file), ViewBuffer, wanted, &got, nullptr) || got == 0) {
    *failed = true;
    return false;
  }
  view->data = ViewBuffer;
  view->size = got;
  view->offset += got;
  return true;
}

void platform_close_view(platform_view* view) {
  CloseHandle(as_handle(view->file));
  view->data = nullptr;
  view->size = 0;
}

// The pages are never read again.  VirtualUnlock on pages that are not
// locked takes them out of the working set; MEM_RESET says their contents
// are no longer of interest, which Wine answers by dropping them (it reads an
// image whose sections are not page-aligned in the file into private memory
// at load, so there they would otherwise stay until the end).
void platform_release_pages(const void* start, size_t length) {
  const uintptr_t page = 4096;
  uintptr_t first = ((uintptr_t)start + page - 1) & ~(page - 1);
  uintptr_t end = ((uintptr_t)start + length) & ~(page - 1);
  if (end <= first) return;
  VirtualUnlock((void*)first, end - first);
  VirtualAlloc((void*)first, end - first, MEM_RESET, PAGE_NOACCESS);
}

// ---------------------------------------------------------------- paths

platform_directory_result platform_create_directory(const wchar_t* path) {
  if (CreateDirectoryW(path, nullptr)) return PLATFORM_DIRECTORY_CREATED;
  return GetLastError() == ERROR_ALREADY_EXISTS ? PLATFORM_DIRECTORY_EXISTS
                                                : PLATFORM_DIRECTORY_FAILED;
}

bool platform_is_bare_root(const wchar_t* path) {
  return path[0] != 0 && path[1] == L':' && path[2] == 0;
}

size_t platform_full_path(const wchar_t* path, wchar_t* out, size_t capacity) {
  return GetFullPathNameW(path, (DWORD)capacity, out, nullptr);
}

size_t platform_temp_directory(wchar_t* out, size_t capacity) {
  DWORD length = GetTempPathW((DWORD)capacity, out);
  // Too small a buffer gets the length it would need, and nothing written.
  if (length == 0 || length >= capacity) {
    out[0] = 0;
    return 0;
  }
  return length;
}

size_t platform_executable_path(wchar_t* out, size_t capacity) {
  DWORD length = GetModuleFileNameW(nullptr, out, (DWORD)capacity);
  if (length == 0) {
    out[0] = 0;
    return 0;
  }
  // A path the system had to cut is taken as it comes, terminated.
  if (length >= capacity) out[capacity - 1] = 0;
  return wcslen(out);
}

static bool folder_path(int folder, wchar_t* out, size_t capacity) {
  wchar_t found[MAX_PATH];
  if (SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, found) != S_OK) {
    return false;
  }
  size_t length = wcslen(found);
  if (length + 1 > capacity) return false;
  wmemcpy(out, found, length + 1);
  return true;
}

bool platform_profile_directory(wchar_t* out, size_t capacity) {
  return folder_path(CSIDL_PROFILE, out, capacity);
}

bool platform_cache_directory(wchar_t* out, size_t capacity) {
  return folder_path(CSIDL_LOCAL_APPDATA, out, capacity);
}

// A named mutex per directory, named after a hash of its path with letters
// in one case, as the file system compares them.  A launcher that dies
// holding it abandons it, and the next waiter takes it over.
platform_handle platform_lock_directory(const wchar_t* directory) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const wchar_t* unit = directory; *unit != 0; ++unit) {
    wchar_t folded = (*unit >= L'a' && *unit <= L'z') ? (wchar_t)(*unit - 32) : *unit;
    hash = (hash ^ (uint16_t)folded) * 0x100000001b3ull;
  }
  wchar_t name[64];
  swprintf(name, 64, L"Local\\ZovariOnefileUnpack-%016llx", (unsigned long long)hash);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  if (mutex == nullptr) return 0;
  DWORD waited = WaitForSingleObject(mutex, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return 0;
  }
  return (platform_handle)mutex;
}

void platform_unlock_directory(platform_handle lock) {
  ReleaseMutex(as_handle(lock));
  CloseHandle(as_handle(lock));
}

// ---------------------------------------------------------------- environment

size_t platform_get_environment(const wchar_t* name, wchar_t* out, size_t capacity) {
  DWORD length = GetEnvironmentVariableW(name, out, (DWORD)capacity);
  if (length == 0 || length >= capacity) return 0;
  return length;
}

bool platform_set_environment(const wchar_t* name, const wchar_t* value) {
  return SetEnvironmentVariableW(name, value) != 0;
}

// ---------------------------------------------------------------- identity, time

uint32_t platform_process_id(void) {
  return (uint32_t)GetCurrentProcessId();
}

int64_t platform_system_time(void) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (int64_t)(((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime);
}

int64_t platform_performance_counter(void) {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

void platform_narrow_library_search(void) {
  SetDllDirectoryW(L"");
}

// ---------------------------------------------------------------- arguments

const wchar_t* platform_argument_zero(void) {
  return (__wargv != nullptr && __argc > 0) ? __wargv[0] : nullptr;
}

wchar_t** platform_launcher_arguments(int* count) {
  static wchar_t** arguments;
  static int argument_count;
  if (arguments == nullptr) {
    // Never released: the child's arguments point into it to the end.
    arguments = CommandLineToArgvW(GetCommandLineW(), &argument_count);
  }
  *count = arguments != nullptr ? argument_count : 0;
  return arguments;
}

// ---------------------------------------------------------------- processes

bool platform_start_child(const wchar_t* application, wchar_t* command_line, wchar_t* const*,
                          int, platform_handle* process) {
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION information;
  ZeroMemory(&information, sizeof information);
  // The child shares the console (and so its control events), the
  // environment and the current directory.
  if (!CreateProcessW(application, command_line, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                      nullptr, nullptr, &startup, &information)) {
    return false;
  }
  if (information.hThread != nullptr) CloseHandle(information.hThread);
  *process = (platform_handle)information.hProcess;
  return true;
}

bool platform_wait_process(platform_handle process, uint32_t milliseconds) {
  return WaitForSingleObject(as_handle(process), milliseconds) == WAIT_OBJECT_0;
}

bool platform_process_exit_code(platform_handle process, uint32_t* code) {
  DWORD exit_code = 0;
  if (!GetExitCodeProcess(as_handle(process), &exit_code)) return false;
  *code = exit_code;
  return true;
}

void platform_terminate_process(platform_handle process, uint32_t exit_code) {
  TerminateProcess(as_handle(process), exit_code);
}

void platform_release_process(platform_handle process) {
  CloseHandle(as_handle(process));
}

void platform_pass_event_to_child(platform_handle, uint32_t) {}

static volatile LONG ConsoleEventRunning;

static BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      InterlockedExchange(&ConsoleEventRunning, 1);
      break;
    default:
      break;
  }
  return console_control_handler(event) ? TRUE : FALSE;
}

bool platform_register_console_handler(void) {
  return SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

// The system's default handling ends the launcher once the handler has
// passed the event on; give it the time to do so rather than race it with
// the child's exit code.
void platform_await_console_event(void) {
  for (int waited = 0; ConsoleEventRunning != 0 && waited < 10000; waited += 50) {
    Sleep(50);
  }
}

#endif
