// The environment, the process's identity and time, the library search
// order, and the launcher's own image.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>

#include "platform/win32/shared.h"

size_t platform_get_environment(const wchar_t* name, wchar_t* out, size_t capacity) {
  DWORD length = GetEnvironmentVariableW(name, out, (DWORD)capacity);
  if (length == 0 || length >= capacity) return 0;
  return length;
}

bool platform_set_environment(const wchar_t* name, const wchar_t* value) {
  return SetEnvironmentVariableW(name, value) != 0;
}

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

// The loader refuses an image whose sections lie beyond the end of its file.
bool platform_image_is_whole(void) {
  return true;
}

// The loader maps each section for its virtual size (its raw size where that
// is 0), from the headers it loaded the image by.
uint64_t platform_image_part_size(const void* address) {
  const unsigned char* base = (const unsigned char*)GetModuleHandleW(nullptr);
  const IMAGE_NT_HEADERS* headers = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
  uintptr_t offset = (uintptr_t)address - (uintptr_t)base;
  for (unsigned i = 0; i < headers->FileHeader.NumberOfSections; ++i, ++section) {
    uint64_t size = section->Misc.VirtualSize != 0 ? section->Misc.VirtualSize : section->SizeOfRawData;
    if (offset >= section->VirtualAddress && offset - section->VirtualAddress < size) {
      return size - (offset - section->VirtualAddress);
    }
  }
  return 0;
}

#endif
