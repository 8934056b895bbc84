#include "payload/checksum.h"

#include "platform/platform.h"

uint32_t checksum_bytes(const void* data, uint64_t size) {
  return stored_checksum(crc32_continue(0, data, size));
}

uint32_t checksum_file(const wchar_t* path) {
  platform_file_reader reader;
  if (!platform_open_reader(path, &reader)) {
    return 0;
  }
  uint32_t crc = 0;
  bool failed = false;
  while (platform_read_next(&reader, &failed)) {
    crc = crc32_continue(crc, reader.data, reader.size);
  }
  platform_close_reader(&reader);
  if (failed) {
    return 0;
  }
  return stored_checksum(crc);
}

bool file_is_current(const wchar_t* path, uint64_t size, uint32_t stored) {
  if (size == 0) return platform_is_empty_file(path);
  return checksum_file(path) == stored;
}
