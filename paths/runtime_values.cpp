#include "paths/runtime_values.h"

#include <stdio.h>
#include <stdlib.h>
#include <wctype.h>

#include "paths/bounded.h"
#include "paths/environment.h"
#include "platform/platform.h"

void xorshift_random_bytes(uint32_t seed, unsigned char bytes[8]) {
  uint32_t x = seed != 0 ? seed : 1;
  for (int i = 0; i < 8; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = (unsigned char)(x & 0xFF);
  }
}

void fill_random_bytes(unsigned char bytes[8]) {
  int64_t counter = platform_performance_counter();
  // Under address-space randomisation the variable's address differs from
  // run to run, which separates launchers started in the same tick.
  uint64_t mixed = (uint64_t)counter ^ (uint64_t)(uintptr_t)&counter;
  uint32_t seed = platform_process_id() ^ (uint32_t)mixed ^ (uint32_t)(mixed >> 32);
  xorshift_random_bytes(seed, bytes);
}

void encode_random_text(const unsigned char bytes[8], wchar_t text[12]) {
  static const char ALPHABET[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) {
    bits = (bits << 8) | bytes[i];
  }
  // Ten full 6-bit groups from the top, then the last 4 bits and two zeros.
  for (int i = 0; i < 10; ++i) {
    text[i] = (wchar_t)ALPHABET[(bits >> (58 - 6 * i)) & 0x3F];
  }
  text[10] = (wchar_t)ALPHABET[(bits & 0xF) << 2];
  text[11] = 0;
}

void append_pid_value(wchar_t* output, size_t capacity) {
  wchar_t* inherited = get_environment_value("ZOVARI_ONEFILE_PARENT");
  if (inherited != nullptr) {
    for (const wchar_t* unit = inherited; *unit != 0; ++unit) {
      if (!iswdigit((wint_t)*unit)) {
        platform_abort();
      }
    }
    append_wide_bounded(output, inherited, capacity);
    free(inherited);
    return;
  }
  char text[128];
  snprintf(text, sizeof text, "%ld", (long)platform_process_id());
  append_narrow_widened(output, text, capacity);
}

// A published value: the variable's text when present, else the computed one,
// which is then published for later expansions and the child.
static void append_published_value(wchar_t* output, size_t capacity, const char* variable,
                                   void (*compute)(wchar_t* value)) {
  wchar_t* inherited = get_environment_value(variable);
  if (inherited != nullptr) {
    append_wide_bounded(output, inherited, capacity);
    free(inherited);
    return;
  }
  wchar_t value[VALUE_CAPACITY];
  value[0] = 0;
  compute(value);
  set_environment_value(variable, value);
  append_wide_bounded(output, value, capacity);
}

static void compute_random(wchar_t* value) {
  unsigned char bytes[8];
  fill_random_bytes(bytes);
  encode_random_text(bytes, value);
}

static void compute_time_us(wchar_t* value) {
  int64_t microseconds = platform_system_time() / 10;
  char text[128];
  snprintf(text, sizeof text, "%06ld", (long)(microseconds % 1000000));
  append_narrow_widened(value, text, VALUE_CAPACITY);
}

static void compute_time(wchar_t* value) {
  char text[128];
  snprintf(text, sizeof text, "%lld", (long long)platform_system_time());
  append_narrow_widened(value, text, VALUE_CAPACITY);
}

void append_random_value(wchar_t* output, size_t capacity) {
  append_published_value(output, capacity, "ZOVARI_ONEFILE_RANDOM", compute_random);
}

void append_time_us_value(wchar_t* output, size_t capacity) {
  append_published_value(output, capacity, "ZOVARI_ONEFILE_TIME_US", compute_time_us);
}

void append_time_value(wchar_t* output, size_t capacity) {
  append_published_value(output, capacity, "ZOVARI_ONEFILE_START", compute_time);
}
