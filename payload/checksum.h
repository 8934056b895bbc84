#ifndef ZOVARI_PAYLOAD_CHECKSUM_H
#define ZOVARI_PAYLOAD_CHECKSUM_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>
#include <libdeflate.h>

#include "platform/platform.h"

// The CRC-32 crc continued over size bytes at data, of any size.  Start
// from 0 for a new block.  libdeflate picks the fastest routine for the CPU
// (carry-less multiplication where there is one) at the first call.
static_assert(sizeof(size_t) == sizeof(uint64_t), "a block's size must pass whole");
static inline uint32_t crc32_continue(uint32_t crc, const void* data, uint64_t size) {
  return libdeflate_crc32(crc, data, (size_t)size);
}

// What a record stores for a CRC-32: the CRC itself, but 1 for 0, since 0
// is what checksum_file gives for a file it could not read.
static inline uint32_t stored_checksum(uint32_t crc) { return crc != 0 ? crc : 1; }

// The file checksum of a block: its CRC-32, with 0 written as 1.  Never 0.
uint32_t checksum_bytes(const void* data, uint64_t size);

// What a check saw of a file: its facts, taken from the open file before
// the first read and again after the last, and the clock read before them.
// known is false when they could not be had.
struct checked_facts {
  platform_file_facts facts;
  uint64_t clock;
  bool known;
};

// The file checksum of the whole file at path, of any size; 0 when the file
// is missing, empty, not a regular file or cannot be read.  Writes nothing
// and leaves nothing open.  With seen, also 0 when the file's facts after
// reading differ from those before: it changed while it was read.
uint32_t checksum_file(const wchar_t* path, checked_facts* seen = nullptr);

// Whether the file at path already holds a record's contents (size bytes
// whose file checksum is stored).  An empty record is held by an empty
// regular file: its checksum cannot be read, and writing it again would
// change nothing but its time.
bool file_is_current(const wchar_t* path, uint64_t size, uint32_t stored, checked_facts* seen = nullptr);

#endif
