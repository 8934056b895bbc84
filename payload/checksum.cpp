#include "payload/checksum.h"

#include "platform/platform.h"

uint32_t checksum_bytes(const void* data, uint64_t size) {
  return stored_checksum(crc32_continue(0, data, size));
}

static bool same_facts(const platform_file_facts& a, const platform_file_facts& b) {
  return a.kind == b.kind && a.size == b.size && a.change_time == b.change_time &&
         a.write_time == b.write_time && a.identity == b.identity;
}

uint32_t checksum_file(const wchar_t* path, checked_facts* seen) {
  platform_file_reader reader;
  if (!platform_open_reader(path, &reader)) {
    return 0;
  }
  if (seen != nullptr) {
    seen->clock = platform_facts_clock();
    seen->known = platform_handle_facts(reader.file, &seen->facts);
  }
  uint32_t crc = 0;
  bool failed = false;
  while (platform_read_next(&reader, &failed)) {
    crc = crc32_continue(crc, reader.data, reader.size);
  }
  if (seen != nullptr && seen->known) {
    platform_file_facts after;
    seen->known = platform_handle_facts(reader.file, &after);
    failed = failed || (seen->known && !same_facts(seen->facts, after));
  }
  platform_close_reader(&reader);
  if (failed) {
    return 0;
  }
  return stored_checksum(crc);
}

bool file_is_current(const wchar_t* path, uint64_t size, uint32_t stored, checked_facts* seen) {
  if (size == 0) return platform_is_empty_file(path);
  return checksum_file(path, seen) == stored;
}
