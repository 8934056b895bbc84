#ifndef ZOVARI_PAYLOAD_CHECKSUM_H
#define ZOVARI_PAYLOAD_CHECKSUM_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>
#include <zlib.h>

// zlib takes 32-bit lengths; larger blocks go through in slices of 1 GiB.
static const uint64_t CRC_SLICE = (uint64_t)1 << 30;

// The CRC-32 crc continued over size bytes at data, of any size.  Start
// from 0 for a new block.
static inline uint32_t crc32_continue(uint32_t crc, const void* data, uint64_t size) {
  const unsigned char* at = (const unsigned char*)data;
  uLong value = crc;
  while (size > 0) {
    uint64_t slice = size < CRC_SLICE ? size : CRC_SLICE;
    value = crc32(value, at, (uInt)slice);
    at += slice;
    size -= slice;
  }
  return (uint32_t)value;
}

// What a record stores for a CRC-32: the CRC itself, but 1 for 0, since 0
// is what checksum_file gives for a file it could not read.
static inline uint32_t stored_checksum(uint32_t crc) { return crc != 0 ? crc : 1; }

// The file checksum of a block: its CRC-32, with 0 written as 1.  Never 0.
uint32_t checksum_bytes(const void* data, uint64_t size);

// The file checksum of the whole file at path, of any size; 0 when the file
// is missing, empty, not a regular file or cannot be read.  Writes nothing
// and leaves nothing open.
uint32_t checksum_file(const wchar_t* path);

// Whether the file at path already holds a record's contents (size bytes
// whose file checksum is stored).  An empty record is held by an empty
// regular file: its checksum cannot be read, and writing it again would
// change nothing but its time.
bool file_is_current(const wchar_t* path, uint64_t size, uint32_t stored);

#endif
