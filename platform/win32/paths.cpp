// Paths and folders: making a folder, names as Windows compares them,
// full paths, and the folders behind the template tokens.
#include "platform/platform.h"
#include "platform/win32_for_tests.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>
#include <shlobj.h>

#include "platform/win32/shared.h"

// A folder is never created open to others: without its private descriptor
// it is not created at all, and the open that needed it reports the failure.
platform_directory_result platform_create_directory(const wchar_t* path) {
  SECURITY_ATTRIBUTES* attributes = private_folder_attributes();
  if (attributes == nullptr) return PLATFORM_DIRECTORY_FAILED;
  if (CreateDirectoryW(path, attributes)) return PLATFORM_DIRECTORY_CREATED;
  return GetLastError() == ERROR_ALREADY_EXISTS ? PLATFORM_DIRECTORY_EXISTS
                                                : PLATFORM_DIRECTORY_FAILED;
}

size_t platform_wide_from_utf16(const uint16_t* units, size_t count, wchar_t* out) {
  for (size_t i = 0; i < count; ++i) out[i] = (wchar_t)units[i];
  out[count] = 0;
  return count;
}

// Whether a component names a device in every folder: CON, PRN, AUX, NUL,
// COM and LPT with a digit (or a superscript one to three), in any case,
// with or without an extension.
static bool is_device_name(const wchar_t* component, size_t length) {
  size_t base = 0;
  while (base < length && component[base] != L'.') ++base;
  while (base > 0 && component[base - 1] == L' ') --base;
  wchar_t upper[4];
  if (base != 3 && base != 4) return false;
  for (size_t i = 0; i < 3; ++i) {
    wchar_t unit = component[i];
    upper[i] = unit >= L'a' && unit <= L'z' ? (wchar_t)(unit - 32) : unit;
  }
  upper[3] = 0;
  if (base == 3) {
    return wcscmp(upper, L"CON") == 0 || wcscmp(upper, L"PRN") == 0 ||
           wcscmp(upper, L"AUX") == 0 || wcscmp(upper, L"NUL") == 0;
  }
  wchar_t last = component[3];
  bool numbered = (last >= L'0' && last <= L'9') || last == 0xB9 || last == 0xB2 || last == 0xB3;
  return numbered && (wcscmp(upper, L"COM") == 0 || wcscmp(upper, L"LPT") == 0);
}

// One spelling of a unit for every case the file system may give it.  The
// system's own case table is not at hand, so every unit that it might fold
// onto another beyond ASCII becomes one and the same.
static wchar_t folded_unit(wchar_t unit) {
  if (unit >= L'A' && unit <= L'Z') unit = (wchar_t)(unit + 32);
  if (unit >= 0x80 || unit == L'i' || unit == L's' || unit == L'k') return 0x80;
  return unit;
}

bool platform_name_key(const wchar_t* name, wchar_t* key) {
  size_t start = 0;
  for (size_t i = 0;; ++i) {
    wchar_t unit = name[i];
    if (unit == L'\\' || unit == L'/' || unit == 0) {
      size_t length = i - start;
      if (length == 0) return false;
      wchar_t last = name[i - 1];
      if (last == L'.' || last == L' ' || is_device_name(name + start, length)) return false;
      start = i + 1;
      key[i] = unit == 0 ? 0 : L'\\';
      if (unit == 0) return true;
      continue;
    }
    if (unit < 0x20 || wcschr(L"<>:\"|?*~", unit) != nullptr) return false;
    key[i] = folded_unit(unit);
  }
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
  if (capacity == 0) return 0;
  DWORD length = GetModuleFileNameW(nullptr, out, (DWORD)capacity);
  if (length == 0) {
    out[0] = 0;
    return 0;
  }
  // A path the system had to cut is taken as it comes, terminated; with room
  // for the terminator alone that is the empty text, still a success.
  if (length >= capacity) {
    out[capacity - 1] = 0;
    return capacity;
  }
  return length;
}

static bool folder_path(int folder, wchar_t* out, size_t capacity) {
  typedef HRESULT(WINAPI * folder_query)(HWND, int, HANDLE, DWORD, LPWSTR);
  folder_query query = (folder_query)(void*)shell32_function("SHGetFolderPathW");
  wchar_t found[MAX_PATH];
  if (query == nullptr || query(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, found) != S_OK) {
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

#endif
