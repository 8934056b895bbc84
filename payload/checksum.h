#ifndef ZOVARI_PAYLOAD_CHECKSUM_H
#define ZOVARI_PAYLOAD_CHECKSUM_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

// The file checksum of a block: its CRC-32, with 0 written as 1.  Never 0.
uint32_t checksum_bytes(const void* data, uint64_t size);

// The file checksum of the whole file at path, of any size; 0 when the file
// is missing, empty, not a regular file or cannot be read.  Writes nothing
// and leaves nothing open.
uint32_t checksum_file(const wchar_t* path);

#endif
