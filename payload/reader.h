// Reads the payload stream in exact amounts, decompressing on demand into one
// fixed 128 KiB window.  There is one reader per process; every failure in it
// ends the process.
#ifndef ZOVARI_PAYLOAD_READER_H
#define ZOVARI_PAYLOAD_READER_H

#include <stddef.h>

// Sets up the reader over the frame that starts at start (the byte behind the
// magic) and the length bytes from there.  On a failed allocation prints
// "Error, couldn't allocate memory." and exits with 2.
void payload_reader_init(const void* start, size_t length);

// Copies exactly the next count bytes of the payload stream to destination.
// On corrupt data, or input used up while bytes are still wanted, prints
// "Error, couldn't decode attached data." and exits with 2.
void payload_read(void* destination, size_t count);

// Passes over the next count bytes without copying them anywhere; fails as
// payload_read does.
void payload_skip(size_t count);

// Reads the frame to its end, past whatever follows the end record, and
// checks its seal where it has one: the writer ends its frame with four
// empty blocks that carry the CRC-32 of the frame's bytes before them.  The
// per-file checksums cannot see a damaged name, or damage in a file that a
// start only reads past; the seal sees every byte.  Fails as payload_read
// does on a frame that does not end or does not match its seal.
void payload_reader_finish(void);

// Prints "Error, couldn't decode attached data." and exits with 2: the end of
// a start whose payload turns out damaged, wherever that is found.
[[noreturn]] void payload_fail_decode(void);

// Releases the decompression context and the window.
void payload_reader_close(void);

#endif
