// Whether a build area holds together: the launcher looks at its own before
// it reads anything from it, and `zovari-pack verify` at a launcher's.  A
// damaged byte in the head or in a value's end would otherwise send the
// launcher reading outside the area; a launcher file cut short reads, in its
// last page, as zeros; a damaged byte inside a value no longer gives the
// values' checksum.
#ifndef ZOVARI_IMAGE_BUILD_AREA_CHECK_H
#define ZOVARI_IMAGE_BUILD_AREA_CHECK_H

#include <stdint.h>

enum build_area_state { BUILD_AREA_SOUND, BUILD_AREA_CUT_SHORT, BUILD_AREA_DAMAGED };

struct build_area_verdict {
  enum build_area_state state;
  const char* problem;   // what is wrong, as a phrase; null when sound
  uint64_t value_count;  // the layout, by its count of values, once the head is read
};

// Checks the area at area, of which capacity bytes can be read (the section
// as the loader mapped it, or as the file holds it), whose wide characters
// are unit_size bytes (2 for Windows, 4 for Linux): the head's sizes and
// offsets against the area, the payload ending the area with its trailer
// right, every build value a text that ends inside the area, between the
// head and the payload, and, in an area that holds a payload, the values'
// checksum (BUILD_VALUES_CHECKSUM).  An area of an earlier layout
// (image/build_area.h), which holds no checksum, passes only with
// earlier_layouts.  CUT_SHORT when the area's end reads as zeros where the
// trailer should be.  Reads nothing outside the capacity.
struct build_area_verdict check_build_area(const unsigned char* area, uint64_t capacity,
                                           unsigned unit_size, bool earlier_layouts);

// The CRC-32 of the values of an area of the current layout, whose offsets
// and ends check_build_area has found sound, as BUILD_VALUES_CHECKSUM
// covers them.
uint32_t build_values_checksum(const unsigned char* area, uint64_t payload_offset, unsigned unit_size);

#endif
