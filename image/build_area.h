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
enum build_value {
  BUILD_TEMPLATE,
  BUILD_COMPANY,
  BUILD_PRODUCT,
  BUILD_VERSION,
  BUILD_FILE_VERSION,
  BUILD_PRODUCT_VERSION,
  // What a start needs to check the files without the payload
  // (payload/quick_start_list.h); empty unless built with --quick-start.
  BUILD_QUICK_START,
  // The build's opt-in behaviours, each a word, separated by spaces
  // ("clean-cache pass-interrupts"); empty for none (image/config.h).
  BUILD_OPTIONS,
  // The arguments the child always gets after its argument 0, before the
  // launcher's own: each NUL-terminated, the list ended by an empty one.
  BUILD_FIXED_ARGUMENTS,
  BUILD_VALUE_COUNT
};

// The area's head, all fields little-endian.  The tool refuses a runtime
// whose value count is not its own.
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
