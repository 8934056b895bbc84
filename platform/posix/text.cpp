// Text at the system boundary: wchar_t code points to and from UTF-8,
// lossless for any byte string; errno and its text.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <string.h>

#include "platform/utf8.h"
#include "platform/posix/shared.h"

char NarrowBuffer[UTF8_CAPACITY];

size_t widen(const char* in, wchar_t* out, size_t capacity) {
  const unsigned char* unit = (const unsigned char*)in;
  size_t length = 0;
  while (*unit != 0) {
    uint32_t code;
    // At most 4 bytes are read, and the terminating NUL, not being a
    // continuation byte, ends a sequence that is cut short.
    size_t used = utf8_decode(unit, 4, &code);
    if (used == 0) {
      code = 0xDC00 + *unit;
      used = 1;
    }
    if (length + 1 >= capacity) return (size_t)-1;
    out[length++] = (wchar_t)code;
    unit += used;
  }
  out[length] = 0;
  return length;
}

bool narrow_into(const wchar_t* in, char* out, size_t capacity) {
  size_t length = 0;
  for (; *in != 0; ++in) {
    uint32_t code = (uint32_t)*in;
    unsigned char bytes[4];
    size_t count;
    if (code >= 0xDC80 && code <= 0xDCFF) {
      bytes[0] = (unsigned char)(code - 0xDC00);
      count = 1;
    } else {
      count = utf8_encode(code, bytes);
    }
    if (length + count >= capacity) return false;
    memcpy(out + length, bytes, count);
    length += count;
  }
  out[length] = 0;
  return true;
}

const char* narrow(const wchar_t* text) {
  return narrow_into(text, NarrowBuffer, UTF8_CAPACITY) ? NarrowBuffer : nullptr;
}

char* narrow_copy(const wchar_t* text) {
  const char* converted = narrow(text);
  return converted != nullptr ? strdup(converted) : nullptr;
}

uint32_t platform_last_error(void) {
  return (uint32_t)errno;
}

char* platform_error_text(uint32_t code) {
  return strdup(strerror((int)code));
}

char* platform_display_text(const wchar_t* text) {
  return narrow_copy(text);
}

#endif
