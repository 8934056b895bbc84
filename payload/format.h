// The payload container, shared by the launcher and the packing tool.
//
//   "QDY" | one zstd frame | zero padding to a multiple of 8 | u64 trailer
//
// The frame decompresses to the payload stream: file records (UTF-16LE name
// and a 0x0000 unit, u64 size, u32 checksum, data), then the end record, a
// single 0x0000 unit.  All integers are little-endian.  The first record is
// the main binary.
#ifndef ZOVARI_PAYLOAD_FORMAT_H
#define ZOVARI_PAYLOAD_FORMAT_H

#include <stddef.h>
#include <stdint.h>

static const unsigned char PAYLOAD_MAGIC[3] = {'Q', 'D', 'Y'};
static const size_t PAYLOAD_MAGIC_SIZE = 3;
static const size_t PAYLOAD_TRAILER_SIZE = 8;
static const size_t PAYLOAD_ALIGNMENT = 8;

// A name holds at most this many UTF-16 units before its terminating unit.
static const size_t PAYLOAD_NAME_UNITS = 1023;

// The largest window a frame may use: the decompressor's default limit.
static const unsigned PAYLOAD_WINDOW_LOG = 27;

// Frame header as the packing tool writes it: no content size, not single
// segment, no checksum, no dictionary; a window of 2^27 bytes.
static const unsigned char PAYLOAD_FRAME_DESCRIPTOR = 0x00;
static const unsigned char PAYLOAD_WINDOW_DESCRIPTOR = 0x88;

// Data moves between the stream and the disk in pieces of at most this size.
static const size_t PAYLOAD_PIECE_SIZE = 0x8000;

// The first bytes of every zstd frame (RFC 8878), as they lie in the file.
static const unsigned char ZSTD_FRAME_MAGIC[4] = {0x28, 0xB5, 0x2F, 0xFD};
static const size_t ZSTD_FRAME_MAGIC_SIZE = 4;

// The frame's seal, with which the packing tool ends every frame it writes:
// four RLE blocks of size 0, which give no byte, the last one flagged as the
// frame's last, each carrying one byte of the CRC-32 of the frame's bytes
// before them (from the zstd magic on), little-endian.
static const size_t PAYLOAD_SEAL_BLOCKS = 4;
static const size_t PAYLOAD_SEAL_SIZE = 4 * PAYLOAD_SEAL_BLOCKS;

// Whether the PAYLOAD_SEAL_SIZE bytes at seal, a frame's last, are its seal;
// *crc then holds the CRC-32 it carries.
static inline bool read_frame_seal(const unsigned char* seal, uint32_t* crc) {
  *crc = 0;
  for (size_t i = 0; i < PAYLOAD_SEAL_BLOCKS; ++i) {
    const unsigned char* block = seal + 4 * i;
    unsigned char header = (unsigned char)(0x02 | (i + 1 == PAYLOAD_SEAL_BLOCKS ? 1 : 0));
    if (block[0] != header || block[1] != 0 || block[2] != 0) return false;
    *crc |= (uint32_t)block[3] << (8 * i);
  }
  return true;
}

// A file record's fields behind its name: the size, then the checksum.
static const size_t RECORD_SIZE_BYTES = 8;
static const size_t RECORD_CHECKSUM_BYTES = 4;

// The unsigned little-endian field of count bytes (at most 8) at at.
static inline uint64_t read_little_endian(const unsigned char* at, size_t count) {
  uint64_t value = 0;
  for (size_t i = count; i > 0; --i) value = (value << 8) | at[i - 1];
  return value;
}

// Writes value as a little-endian field of count bytes (at most 8) at at.
static inline void write_little_endian(unsigned char* at, uint64_t value, size_t count) {
  for (size_t i = 0; i < count; ++i) at[i] = (unsigned char)((value >> (8 * i)) & 0xFF);
}

#endif
