#include "payload/checksum.h"

#include "platform/platform.h"

uint32_t checksum_bytes(const void* data, uint64_t size) {
  return stored_checksum(crc32_continue(0, data, size));
}

uint32_t checksum_file(const wchar_t* path) {
  platform_view view;
  if (!platform_open_view(path, &view)) {
    return 0;
  }
  uint32_t crc = 0;
  bool failed = false;
  while (platform_next_view(&view, &failed)) {
    crc = crc32_continue(crc, view.data, view.size);
  }
  platform_close_view(&view);
  if (failed) {
    return 0;
  }
  return stored_checksum(crc);
}
