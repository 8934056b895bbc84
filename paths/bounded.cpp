#include "paths/bounded.h"

#include <stdlib.h>

#include "platform/platform.h"

void append_wide_bounded(wchar_t* destination, const wchar_t* source, size_t capacity) {
  if (source == nullptr) {
    platform_abort();
  }
  size_t length = wcslen(destination);
  for (; *source != 0; ++source) {
    if (length + 2 > capacity) {
      platform_abort();
    }
    destination[length++] = *source;
  }
  destination[length] = 0;
}

void append_narrow_widened(wchar_t* destination, const char* source, size_t capacity) {
  size_t length = wcslen(destination);
  for (; *source != 0; ++source) {
    char single[2] = {*source, 0};
    wchar_t widened[2] = {0, 0};
    if (mbstowcs(widened, single, 2) != 1) {
      platform_abort();
    }
    if (length + 2 > capacity) {
      platform_abort();
    }
    destination[length++] = widened[0];
  }
  destination[length] = 0;
}

void cut_at_last_separator(wchar_t* text) {
  wchar_t* last = nullptr;
  for (wchar_t* unit = text; *unit != 0; ++unit) {
    if (*unit == PLATFORM_SEPARATOR) last = unit;
  }
  if (last != nullptr) *last = 0;
}
