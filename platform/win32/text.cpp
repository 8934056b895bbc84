// Errors as the system gives them, and text for messages.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>
#include <stdlib.h>

#include "platform/win32/shared.h"

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

#endif
