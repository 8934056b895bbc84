#include "image/build_area_check.h"

#include <stddef.h>
#include <string.h>

#include <libdeflate.h>

#include "image/build_area.h"

// The payload's place and length are multiples of this (its container is).
static const uint64_t PAYLOAD_PLACE_ALIGNMENT = 8;

static uint64_t field(const unsigned char* at, unsigned bytes) {
  uint64_t value = 0;
  for (unsigned i = bytes; i > 0; --i) value = (value << 8) | at[i - 1];
  return value;
}

static struct build_area_verdict verdict(enum build_area_state state, const char* problem) {
  struct build_area_verdict out = {state, problem, 0};
  return out;
}

// The trailer ends the payload and holds its own offset, the payload's
// length less 8.  A file cut inside the trailer's page leaves its first
// bytes, if any, and zeros after them.
static bool reads_as_cut(uint64_t trailer, uint64_t expected) {
  for (unsigned kept = 0; kept < 8; ++kept) {
    uint64_t mask = kept == 0 ? 0 : ~0ULL >> (64 - 8 * kept);
    if (trailer == (expected & mask) && trailer != expected) return true;
  }
  return false;
}

// Where the text at offset ends (behind its terminating unit), or 0 when it
// does not end before limit.  Linux units must be Unicode characters: the
// launcher turns them into UTF-8.
static uint64_t text_end(const unsigned char* area, uint64_t offset, uint64_t limit, unsigned unit_size,
                         bool* bad_unit) {
  for (uint64_t at = offset; at <= limit && limit - at >= unit_size; at += unit_size) {
    uint64_t unit = field(area + at, unit_size);
    if (unit == 0) return at + unit_size;
    if (unit > 0x10FFFF) *bad_unit = true;
  }
  return 0;
}

// The width of a value's units in an area of count values: the quick-start
// list's are 16 bits in the current layout.
static unsigned value_unit_size(uint64_t count, unsigned slot, unsigned unit_size) {
  return count == BUILD_LAYOUT_CURRENT && slot == BUILD_QUICK_START ? (unsigned)BUILD_QUICK_START_UNIT_SIZE : unit_size;
}

// Where the value at offset at ends (behind its terminating unit, or for the
// fixed arguments behind the empty one that ends them), or 0 when it does
// not end before limit.
static uint64_t value_end(const unsigned char* area, uint64_t at, uint64_t limit, unsigned unit_size,
                          bool list, bool* bad_unit) {
  for (;;) {
    uint64_t end = text_end(area, at, limit, unit_size, bad_unit);
    if (end == 0 || !list || end - at == unit_size) return end;
    at = end;
  }
}

// Every build value of an area of count values: a text (the fixed
// arguments: texts up to an empty one) on a unit boundary that ends before
// the payload, and, in an area that holds a payload, behind the head.
static const char* value_problem(const unsigned char* area, uint64_t count, uint64_t payload_offset,
                                 uint64_t payload_length, unsigned unit_size) {
  const unsigned char* offsets = area + offsetof(struct build_area_head, value_offsets);
  const int arguments = build_value_slot(count, BUILD_FIXED_ARGUMENTS);
  for (unsigned slot = 0; slot < count; ++slot) {
    const unsigned unit = value_unit_size(count, slot, unit_size);
    uint64_t at = field(offsets + 8 * slot, 8);
    if (at >= payload_offset || at % unit != 0 ||
        (payload_length != 0 && at < build_area_head_size(count))) {
      return "a build value's offset lies outside the values";
    }
    bool bad_unit = false;
    if (value_end(area, at, payload_offset, unit, (int)slot == arguments, &bad_unit) == 0) {
      return "a build value does not end before the payload";
    }
    if (bad_unit) return "a build value holds a unit that is no Unicode character";
  }
  return nullptr;
}

uint32_t build_values_checksum(const unsigned char* area, uint64_t payload_offset, unsigned unit_size) {
  const unsigned char* offsets = area + offsetof(struct build_area_head, value_offsets);
  uint32_t crc = 0;
  for (unsigned slot = 0; slot < BUILD_VALUE_COUNT; ++slot) {
    if (slot == BUILD_VALUES_CHECKSUM) continue;
    const uint64_t at = field(offsets + 8 * slot, 8);
    bool bad_unit = false;
    const uint64_t end = value_end(area, at, payload_offset, value_unit_size(BUILD_VALUE_COUNT, slot, unit_size),
                                   slot == BUILD_FIXED_ARGUMENTS, &bad_unit);
    crc = (uint32_t)libdeflate_crc32(crc, area + at, (size_t)(end - at));
  }
  return crc;
}

// Whether the checksum value holds the values' CRC-32, in its eight digits.
static bool checksum_matches(const unsigned char* area, uint64_t payload_offset, unsigned unit_size) {
  const uint64_t at = field(area + offsetof(struct build_area_head, value_offsets) + 8 * BUILD_VALUES_CHECKSUM, 8);
  const uint32_t crc = build_values_checksum(area, payload_offset, unit_size);
  if (payload_offset - at < (uint64_t)(BUILD_VALUES_CHECKSUM_DIGITS + 1) * unit_size) return false;
  static const char digits[] = "0123456789abcdef";
  for (unsigned i = 0; i < BUILD_VALUES_CHECKSUM_DIGITS; ++i) {
    const unsigned digit = (crc >> (4 * (BUILD_VALUES_CHECKSUM_DIGITS - 1 - i))) & 0xF;
    if (field(area + at + (uint64_t)i * unit_size, unit_size) != (uint64_t)digits[digit]) return false;
  }
  return field(area + at + (uint64_t)BUILD_VALUES_CHECKSUM_DIGITS * unit_size, unit_size) == 0;
}

struct build_area_verdict check_build_area(const unsigned char* area, uint64_t capacity,
                                           unsigned unit_size, bool earlier_layouts) {
  // The area's last bytes are the payload's trailer, never 0; where a file
  // was cut before them, its last page reads as zeros from the cut on.
  if (capacity >= 8 && field(area + capacity - 8, 8) == 0) {
    return verdict(BUILD_AREA_CUT_SHORT, "the build area ends in zeros");
  }
  if (capacity < build_area_head_size(BUILD_LAYOUT_SEVEN) ||
      memcmp(area, BUILD_AREA_MARKER, BUILD_AREA_MARKER_SIZE) != 0) {
    return verdict(BUILD_AREA_DAMAGED, "the build area's marker is damaged");
  }
  const uint64_t size = field(area + offsetof(struct build_area_head, area_size), 8);
  const uint64_t payload_offset = field(area + offsetof(struct build_area_head, payload_offset), 8);
  const uint64_t payload_length = field(area + offsetof(struct build_area_head, payload_length), 8);
  const uint64_t count = field(area + offsetof(struct build_area_head, value_count), 8);
  if (count != BUILD_VALUE_COUNT &&
      (!earlier_layouts || build_value_slot(count, BUILD_FIXED_ARGUMENTS) < 0)) {
    return verdict(BUILD_AREA_DAMAGED, "the build area's count of values is damaged");
  }
  const uint64_t head_size = build_area_head_size(count);
  if (capacity < head_size || size < head_size || size > capacity || payload_offset < head_size ||
      payload_offset > size || payload_length != size - payload_offset ||
      payload_offset % PAYLOAD_PLACE_ALIGNMENT != 0 || payload_length % PAYLOAD_PLACE_ALIGNMENT != 0) {
    return verdict(BUILD_AREA_DAMAGED, "the build area's sizes do not fit together");
  }
  if (payload_length != 0) {
    const uint64_t trailer = field(area + size - 8, 8);
    if (trailer != payload_length - 8) {
      return reads_as_cut(trailer, payload_length - 8)
                 ? verdict(BUILD_AREA_CUT_SHORT, "the payload's trailer is cut short")
                 : verdict(BUILD_AREA_DAMAGED, "the payload's trailer does not hold its offset");
    }
  }
  const char* problem = value_problem(area, count, payload_offset, payload_length, unit_size);
  if (problem == nullptr && count == BUILD_VALUE_COUNT && payload_length != 0 &&
      !checksum_matches(area, payload_offset, unit_size)) {
    problem = "the build values do not give their checksum: a build value is damaged";
  }
  struct build_area_verdict out =
      problem == nullptr ? verdict(BUILD_AREA_SOUND, nullptr) : verdict(BUILD_AREA_DAMAGED, problem);
  out.value_count = count;
  return out;
}
