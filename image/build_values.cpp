// A launcher's build values, read from its build area.  The area is defined
// in another file (build_area.cpp), so the compiler cannot take the
// placeholder's contents for the values the packing tool writes.
#include "image/config.h"

extern "C" const struct build_area_head zovari_build_area;

static const unsigned char* area_at(uint64_t offset) {
  return (const unsigned char*)&zovari_build_area + offset;
}

const unsigned char* build_area(void) {
  return area_at(0);
}

const unsigned char* build_payload(void) {
  return area_at(zovari_build_area.payload_offset);
}

uint64_t build_payload_length(void) {
  return zovari_build_area.payload_length;
}

const wchar_t* build_value(enum build_value which) {
  return (const wchar_t*)area_at(zovari_build_area.value_offsets[which]);
}
