#include "payload/checksum.h"

#include <zlib.h>

#include "platform/platform.h"

// zlib takes 32-bit lengths; larger blocks go through in slices.
static const uint64_t CRC_SLICE = 1u << 30;

static uLong crc32_of_slices(uLong crc, const unsigned char* data, uint64_t size) {
  while (size > 0) {
    uint64_t slice = size < CRC_SLICE ? size : CRC_SLICE;
    crc = crc32(crc, data, (uInt)slice);
    data += slice;
    size -= slice;
  }
  return crc;
}

uint32_t checksum_bytes(const void* data, uint64_t size) {
  uint32_t crc = (uint32_t)crc32_of_slices(crc32(0L, Z_NULL, 0), (const unsigned char*)data, size);
  return crc != 0 ? crc : 1;
}

uint32_t checksum_file(const wchar_t* path) {
  platform_view view;
  if (!platform_open_view(path, &view)) {
    return 0;
  }
  uLong crc = crc32(0L, Z_NULL, 0);
  bool failed = false;
  while (platform_next_view(&view, &failed)) {
    crc = crc32_of_slices(crc, view.data, view.size);
  }
  platform_close_view(&view);
  if (failed) {
    return 0;
  }
  return crc != 0 ? (uint32_t)crc : 1;
}
