// UTF-8 and UTF-16 one code point at a time: pure code, no system calls, so
// that the platform layer and the packing tool share it.  It never decides
// what invalid input means; it reports it and the caller chooses (pass the
// bytes through, or refuse the text).
#ifndef ZOVARI_PLATFORM_UTF8_H
#define ZOVARI_PLATFORM_UTF8_H

#include <stddef.h>
#include <stdint.h>

// Decodes the UTF-8 sequence at in, of which at most available bytes may be
// read.  Returns its length (1 to 4) with *code set, or 0 when the bytes do
// not start a valid sequence: a stray or truncated sequence, an overlong
// form, a surrogate or a value past U+10FFFF.  A NUL byte is U+0000.
static inline size_t utf8_decode(const unsigned char* in, size_t available, uint32_t* code) {
  if (available == 0) return 0;
  unsigned char lead = in[0];
  size_t length;
  uint32_t value;
  if (lead < 0x80) {
    *code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
  } else {
    return 0;
  }
  if (available < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((in[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (in[i] & 0x3F);
  }
  static const uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < smallest[length] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) {
    return 0;
  }
  *code = value;
  return length;
}

// Encodes code (at most U+10FFFF) as UTF-8 into out; returns the byte count.
// Surrogate values are encoded like any other; the caller decides whether
// they may occur.
static inline size_t utf8_encode(uint32_t code, unsigned char out[4]) {
  if (code < 0x80) {
    out[0] = (unsigned char)code;
    return 1;
  }
  if (code < 0x800) {
    out[0] = (unsigned char)(0xC0 | code >> 6);
    out[1] = (unsigned char)(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = (unsigned char)(0xE0 | code >> 12);
    out[1] = (unsigned char)(0x80 | ((code >> 6) & 0x3F));
    out[2] = (unsigned char)(0x80 | (code & 0x3F));
    return 3;
  }
  out[0] = (unsigned char)(0xF0 | code >> 18);
  out[1] = (unsigned char)(0x80 | ((code >> 12) & 0x3F));
  out[2] = (unsigned char)(0x80 | ((code >> 6) & 0x3F));
  out[3] = (unsigned char)(0x80 | (code & 0x3F));
  return 4;
}

template <typename Unit>
static inline bool utf16_is_high_surrogate(const Unit& unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
template <typename Unit>
static inline bool utf16_is_low_surrogate(const Unit& unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}
template <typename Unit>
static inline bool utf16_is_surrogate(const Unit& unit) {
  return unit >= 0xD800 && unit <= 0xDFFF;
}
// The code point that a high and a low surrogate stand for.
template <typename Unit>
static inline uint32_t utf16_pair_code(uint32_t high, const Unit& low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

// Decodes the UTF-16 code point at in, of which at most available units may
// be read.  Returns the units used (1 or 2) with *code set, or 0 for a lone
// surrogate (or nothing to read).
static inline size_t utf16_decode(const char16_t* in, size_t available, uint32_t* code) {
  if (available == 0) return 0;
  uint32_t unit = in[0];
  if (utf16_is_high_surrogate(unit)) {
    if (available < 2 || !utf16_is_low_surrogate(in[1])) return 0;
    *code = utf16_pair_code(unit, (uint32_t)in[1]);
    return 2;
  }
  if (utf16_is_low_surrogate(unit)) return 0;
  *code = unit;
  return 1;
}

// Encodes code (at most U+10FFFF) as UTF-16 into out; returns the unit count.
static inline size_t utf16_encode(uint32_t code, char16_t out[2]) {
  if (code < 0x10000) {
    out[0] = (char16_t)code;
    return 1;
  }
  code -= 0x10000;
  out[0] = (char16_t)(0xD800 + (code >> 10));
  out[1] = (char16_t)(0xDC00 + (code & 0x3FF));
  return 2;
}

#endif
