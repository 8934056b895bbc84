// The launcher's arguments: the C run-time's wide vector, a plain line
// split here, any other through shell32, loaded only when needed.
#include "platform/platform.h"
#include "platform/win32_for_tests.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>
#include <shellapi.h>
#include <stdlib.h>

#include "platform/win32/shared.h"

const wchar_t* platform_argument_zero(void) {
  return (__wargv != nullptr && __argc > 0) ? __wargv[0] : nullptr;
}

// shell32 is loaded the first time a start needs it, not at every start:
// under Wine it brings user32 and gdi32 along, some 6 MiB of working set and
// 25 ms, and on Windows it is no small library either.  Only the system's
// own copy is loaded: Windows 7 and Server 2008 R2 without KB2533623 know
// no search flags and refuse them as an invalid parameter, so there it is
// loaded by its full path in the system folder, and what it needs from the
// same folder first.
HMODULE load_system_library(const wchar_t* name, DWORD search) {
  HMODULE library = LoadLibraryExW(name, nullptr, search);
  if (library != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return library;
  wchar_t path[MAX_PATH + 64];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  size_t name_length = wcslen(name);
  if (length == 0 || length >= MAX_PATH || length + 1 + name_length + 1 > MAX_PATH + 64) {
    return nullptr;
  }
  path[length] = L'\\';
  wmemcpy(path + length + 1, name, name_length + 1);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC shell32_function(const char* name) {
  static HMODULE shell32;
  if (shell32 == nullptr) {
    shell32 = load_system_library(L"shell32.dll", LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shell32 == nullptr) return nullptr;
  }
  return GetProcAddress(shell32, name);
}

static bool is_space_or_tab(wchar_t unit) {
  return unit == L' ' || unit == L'\t';
}

// A command line with no quote behind its first argument and no control
// character anywhere splits as CommandLineToArgvW splits it without asking
// it: the first argument runs to its closing quote, or to the first space or
// tab, and must be followed by one of them or end the line; the others are
// the runs between spaces and tabs, a backslash being itself when no quote
// follows.  Any other line (an empty one, one that starts with a space or
// tab, quotes or escapes behind the first argument) is left to the system.
// The array and its text are one block, never released.
bool split_plain_command_line(const wchar_t* line, wchar_t*** arguments, int* count) {
  if (line[0] == 0 || is_space_or_tab(line[0])) return false;
  for (const wchar_t* unit = line; *unit != 0; ++unit) {
    if (*unit < 0x20 && *unit != L'\t') return false;
  }
  size_t first_end;  // behind the first argument's text
  size_t rest;       // where the others begin
  if (line[0] == L'"') {
    const wchar_t* closing = wcschr(line + 1, L'"');
    if (closing == nullptr) return false;
    first_end = (size_t)(closing - line);
    rest = first_end + 1;
    if (line[rest] != 0 && !is_space_or_tab(line[rest])) return false;
  } else {
    // A quote inside an unquoted first argument opens a quoted part of it.
    if (wcschr(line, L'"') != nullptr) return false;
    first_end = 0;
    while (line[first_end] != 0 && !is_space_or_tab(line[first_end])) ++first_end;
    rest = line[first_end] != 0 ? first_end + 1 : first_end;  // past the separator
  }
  if (wcschr(line + rest, L'"') != nullptr) return false;
  size_t length = wcslen(line);
  size_t slots = 2 + (length - rest) / 2 + 1;  // at most one argument per two units
  wchar_t** array = (wchar_t**)LocalAlloc(LMEM_FIXED, slots * sizeof(wchar_t*) +
                                                          (length + 1) * sizeof(wchar_t));
  if (array == nullptr) return false;
  wchar_t* text = (wchar_t*)(array + slots);
  wmemcpy(text, line, length + 1);
  int found = 0;
  size_t first_start = line[0] == L'"' ? 1 : 0;
  text[first_end] = 0;
  array[found++] = text + first_start;
  for (size_t at = rest; at < length;) {
    while (at < length && is_space_or_tab(text[at])) text[at++] = 0;
    if (at == length) break;
    array[found++] = text + at;
    while (at < length && !is_space_or_tab(text[at])) ++at;
  }
  array[found] = nullptr;
  *arguments = array;
  *count = found;
  return true;
}

wchar_t** platform_launcher_arguments(int* count) {
  static wchar_t** arguments;
  static int argument_count;
  if (arguments == nullptr &&
      !split_plain_command_line(GetCommandLineW(), &arguments, &argument_count)) {
    typedef LPWSTR*(WINAPI * splitter)(LPCWSTR, int*);
    splitter split = (splitter)(void*)shell32_function("CommandLineToArgvW");
    // Never released: the child's arguments point into it to the end.
    if (split != nullptr) arguments = split(GetCommandLineW(), &argument_count);
  }
  *count = arguments != nullptr ? argument_count : 0;
  return arguments;
}

void platform_keep_arguments(int, char**) {}

#endif
