// What a launcher built with --quick-start needs to check its target
// directory without decoding the payload, shared by the launcher and the
// packing tool.
//
// The list is the build value BUILD_QUICK_START, a string of 16-bit units on
// both systems (half of wchar_t's four bytes on Linux, where 200,000 names
// would otherwise take megabytes more), empty for a launcher built without
// the option: the build's identity in 16 lowercase
// hex digits and " ", then per file, in payload order (the main binary first), its
// size in hex digits, " ", its name's length in UTF-16 units in hex digits,
// " ", and the name's UTF-16 units ("\" between components), one unit per
// list unit, so that every name comes through as the payload holds it.
// The lengths spare the list a separator that no name may hold.
//
// The stamp that a start leaves beside the target directory once every file
// has been checked or written, STAMP_SIZE bytes, little-endian: the magic,
// the build's identity, the digest of every file's and folder's metadata
// (quick_start_mix folded over it in list order), and the count of files.
#ifndef ZOVARI_PAYLOAD_QUICK_START_LIST_H
#define ZOVARI_PAYLOAD_QUICK_START_LIST_H

#include <stddef.h>
#include <stdint.h>

static const size_t QUICK_START_IDENTITY_DIGITS = 16;
static const uint16_t QUICK_START_FIELD_END = u' ';

// Appended to the target directory's path: the stamp's name beside it.
#define QUICK_START_STAMP_SUFFIX L".zovari-quick-start"

static const unsigned char QUICK_START_STAMP_MAGIC[8] = {'Z', 'o', 'v', 'Q', 'u', 'i', 'c', 'k'};
static const size_t QUICK_START_STAMP_SIZE = 32;

// Folds value into digest.  Each step is a bijection of the value for a given
// digest, so changing any one value always changes the result; the steps of
// the 64-bit finaliser spread every bit over the whole word.
static inline uint64_t quick_start_mix(uint64_t digest, uint64_t value) {
  uint64_t z = (digest ^ value) + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

#endif
