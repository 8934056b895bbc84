#include "image/build_area_check.h"

#include <stddef.h>
#include <string.h>

#include "image/build_area.h"

// The payload's place and length are multiples of this (its container is).
static const uint64_t PAYLOAD_PLACE_ALIGNMENT = 8;

static uint64_t field(const unsigned char* at, unsigned bytes) {
  uint64_t value = 0;
  for (unsigned i = bytes; i > 0; --i) value = (value << 8) | at[i - 1];
  return value;
}

static struct build_area_verdict verdict(enum build_area_state state, const char* problem) {
  struct build_area_verdict out = {state, problem};
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

// Every build value: a text (the fixed arguments: texts up to an empty one)
// on a unit boundary that ends before the payload, and, in an area that
// holds a payload, behind the head.  Values that a build adds join here.
static const char* value_problem(const unsigned char* area, uint64_t payload_offset,
                                 uint64_t payload_length, unsigned unit_size) {
  const unsigned char* offsets = area + offsetof(struct build_area_head, value_offsets);
  for (unsigned which = 0; which < BUILD_VALUE_COUNT; ++which) {
    uint64_t at = field(offsets + 8 * which, 8);
    if (at >= payload_offset || at % unit_size != 0 ||
        (payload_length != 0 && at < BUILD_AREA_HEAD_SIZE)) {
      return "a build value's offset lies outside the values";
    }
    bool bad_unit = false;
    for (;;) {
      uint64_t end = text_end(area, at, payload_offset, unit_size, &bad_unit);
      if (end == 0) return "a build value does not end before the payload";
      if (which != BUILD_FIXED_ARGUMENTS || end - at == unit_size) break;
      at = end;
    }
    if (bad_unit) return "a build value holds a unit that is no Unicode character";
  }
  return nullptr;
}

struct build_area_verdict check_build_area(const unsigned char* area, uint64_t capacity,
                                           unsigned unit_size) {
  // The area's last bytes are the payload's trailer, never 0; where a file
  // was cut before them, its last page reads as zeros from the cut on.
  if (capacity >= 8 && field(area + capacity - 8, 8) == 0) {
    return verdict(BUILD_AREA_CUT_SHORT, "the build area ends in zeros");
  }
  if (capacity < BUILD_AREA_HEAD_SIZE || memcmp(area, BUILD_AREA_MARKER, BUILD_AREA_MARKER_SIZE) != 0) {
    return verdict(BUILD_AREA_DAMAGED, "the build area's marker is damaged");
  }
  const uint64_t size = field(area + offsetof(struct build_area_head, area_size), 8);
  const uint64_t payload_offset = field(area + offsetof(struct build_area_head, payload_offset), 8);
  const uint64_t payload_length = field(area + offsetof(struct build_area_head, payload_length), 8);
  if (field(area + offsetof(struct build_area_head, value_count), 8) != BUILD_VALUE_COUNT) {
    return verdict(BUILD_AREA_DAMAGED, "the build area's count of values is damaged");
  }
  if (size < BUILD_AREA_HEAD_SIZE || size > capacity || payload_offset < BUILD_AREA_HEAD_SIZE ||
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
  const char* problem = value_problem(area, payload_offset, payload_length, unit_size);
  return problem == nullptr ? verdict(BUILD_AREA_SOUND, nullptr) : verdict(BUILD_AREA_DAMAGED, problem);
}
