#include "paths/environment.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "paths/bounded.h"
#include "platform/platform.h"

// An environment variable name holds at most 39 characters.
static const size_t NAME_CAPACITY = 40;
// A number formatted with "%ld".
static const size_t NUMBER_CAPACITY = 128;

static wchar_t EnvironmentValueBuffer[ENVIRONMENT_VALUE_CAPACITY];

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
