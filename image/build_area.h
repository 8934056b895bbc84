// The build area: the one place in a launcher image that holds what building
// a launcher for an application fixes (the payload and the build values).
// The runtime image carries a small placeholder of it in a section of its
// own, ".zovpay", the image's last loadable part; the packing tool finds it
// through the image's section table and writes the launcher with the area
// grown to hold the application's values.  The launcher reaches it through
// its address.  Every offset counts from the area's first byte, so nothing in
// the area needs relocating wherever the image is loaded.
#ifndef ZOVARI_IMAGE_BUILD_AREA_H
#define ZOVARI_IMAGE_BUILD_AREA_H

#include <stdint.h>

// The section that holds the area, in both image formats.
#define BUILD_AREA_SECTION ".zovpay"

// The area's first bytes, which say that a section is one: the text and its
// terminating NUL.
#define BUILD_AREA_MARKER "ZovariBuildArea"
enum { BUILD_AREA_MARKER_SIZE = 16 };

// The build values after the payload, each a NUL-terminated wide string:
// UTF-16 units on Windows, code points on Linux, as wchar_t is on each.
// The area grows only at its end: a value added later goes before
// BUILD_VALUE_COUNT, never between older ones, so that the tool can still
// read every launcher an earlier version wrote (build_value_slot).
enum build_value {
  BUILD_TEMPLATE,
  BUILD_COMPANY,
  BUILD_PRODUCT,
  BUILD_VERSION,
  BUILD_FILE_VERSION,
  BUILD_PRODUCT_VERSION,
  // The arguments the child always gets after its argument 0, before the
  // launcher's own: each NUL-terminated, the list ended by an empty one.
  BUILD_FIXED_ARGUMENTS,
  // What a start needs to check the files without the payload
  // (payload/quick_start_list.h); empty unless built with --quick-start.
  // Held in 16-bit units on both systems (BUILD_QUICK_START_UNIT_SIZE): it
  // is mostly names, which are UTF-16 units in the payload too.
  BUILD_QUICK_START,
  // The build's opt-in behaviours, each a word, separated by spaces
  // ("clean-cache pass-interrupts"); empty for none (image/config.h).
  BUILD_OPTIONS,
  // The CRC-32 of every other value, as eight lowercase hex digits: the
  // bytes of each from its offset through its terminating unit (the fixed
  // arguments through the empty one that ends them), in the order above.
  // A launcher whose values do not give it has been damaged.
  BUILD_VALUES_CHECKSUM,
  BUILD_VALUE_COUNT
};

// The width in bytes of BUILD_QUICK_START's units, whatever wchar_t is.
enum { BUILD_QUICK_START_UNIT_SIZE = 2 };
enum { BUILD_VALUES_CHECKSUM_DIGITS = 8 };

// The layouts earlier versions wrote, by their count of values: the seven
// values alone (template to product version, then the fixed arguments);
// eight, with the quick-start list before the fixed arguments; nine, with
// the options after it.  Neither held a checksum, and both held the list in
// wide characters.  A launcher runs only its own layout; the tool reads all.
enum {
  BUILD_LAYOUT_SEVEN = 7,
  BUILD_LAYOUT_EIGHT = 8,
  BUILD_LAYOUT_NINE = 9,
  BUILD_LAYOUT_CURRENT = BUILD_VALUE_COUNT
};

// The place of which among the offsets of an area of count values, or -1
// when that layout holds no such value (or count is no layout).
static inline int build_value_slot(uint64_t count, enum build_value which) {
  if (count == BUILD_LAYOUT_CURRENT) return (int)which;
  if (count != BUILD_LAYOUT_SEVEN && count != BUILD_LAYOUT_EIGHT && count != BUILD_LAYOUT_NINE) return -1;
  if (which <= BUILD_PRODUCT_VERSION) return (int)which;
  if (which == BUILD_FIXED_ARGUMENTS) return (int)count - 1;
  if (which == BUILD_QUICK_START && count >= BUILD_LAYOUT_EIGHT) return 6;
  if (which == BUILD_OPTIONS && count == BUILD_LAYOUT_NINE) return 7;
  return -1;
}

// The bytes of the head of an area of count values.
static inline uint64_t build_area_head_size(uint64_t count) { return 48 + 8 * count; }

// The area's head, all fields little-endian.  The tool refuses a runtime
// whose value count is not its own, and reads the launchers of earlier
// layouts.
struct build_area_head {
  char marker[BUILD_AREA_MARKER_SIZE];
  uint64_t area_size;       // bytes of the whole area, head included
  uint64_t payload_offset;  // the payload: "QDY", the frame, padding, trailer
  uint64_t payload_length;  // a multiple of 8; 0 in a runtime not yet filled
  uint64_t value_count;     // BUILD_VALUE_COUNT
  uint64_t value_offsets[BUILD_VALUE_COUNT];
};

enum { BUILD_AREA_HEAD_SIZE = sizeof(struct build_area_head) };

#endif
