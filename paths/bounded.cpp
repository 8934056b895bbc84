#include "paths/bounded.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"

// An environment variable name holds at most 39 characters.
static const size_t NAME_CAPACITY = 40;
// A number formatted with "%ld".
static const size_t NUMBER_CAPACITY = 128;

static wchar_t EnvironmentValueBuffer[ENVIRONMENT_VALUE_CAPACITY];

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

static void widen_name(wchar_t* name_buffer, const char* name) {
  name_buffer[0] = 0;
  append_narrow_widened(name_buffer, name, NAME_CAPACITY);
}

wchar_t* get_environment_value(const char* name) {
  wchar_t wide_name[NAME_CAPACITY];
  widen_name(wide_name, name);
  size_t length = platform_get_environment(wide_name, EnvironmentValueBuffer,
                                           ENVIRONMENT_VALUE_CAPACITY);
  if (length == 0) {
    return nullptr;
  }
  wchar_t* copy = (wchar_t*)malloc((length + 1) * sizeof(wchar_t));
  if (copy == nullptr) {
    return nullptr;
  }
  memcpy(copy, EnvironmentValueBuffer, (length + 1) * sizeof(wchar_t));
  return copy;
}

void set_environment_value(const char* name, const wchar_t* value) {
  wchar_t wide_name[NAME_CAPACITY];
  widen_name(wide_name, name);
  platform_set_environment(wide_name, value);
}

void clear_environment_value(const char* name) {
  wchar_t wide_name[NAME_CAPACITY];
  widen_name(wide_name, name);
  platform_set_environment(wide_name, nullptr);
}

void set_environment_number(const char* name, long number) {
  char text[NUMBER_CAPACITY];
  snprintf(text, sizeof text, "%ld", number);
  wchar_t wide_text[NUMBER_CAPACITY];
  wide_text[0] = 0;
  append_narrow_widened(wide_text, text, NUMBER_CAPACITY);
  set_environment_value(name, wide_text);
}
