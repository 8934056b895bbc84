#include "payload/written_names.h"

#include <stdint.h>
#include <string.h>

#include "paths/bounded.h"
#include "platform/platform.h"

// A bit set by two hashes of each recorded name's key (a Bloom filter): a
// clear bit proves a name never recorded, a set one proves nothing.  With
// 2^20 bits, after 10,000 files written about one name in 3,000 is taken
// for written wrongly, which only costs it a look at the disk.
static const unsigned WRITTEN_BITS_LOG = 20;
static uint64_t WrittenBits[((size_t)1 << WRITTEN_BITS_LOG) / 64];
// Set once a written name could not be keyed: from then on nothing is proven.
static bool RecordBroken;
static wchar_t Key[PATH_CAPACITY];

// The two bit indexes of a name's key (FNV-1a over its units), or false
// when the name has no key.
static bool key_bits(const wchar_t* name, uint32_t* first, uint32_t* second) {
  if (wcslen(name) >= PATH_CAPACITY || !platform_name_key(name, Key)) return false;
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const wchar_t* unit = Key; *unit != 0; ++unit) {
    hash = (hash ^ (uint32_t)*unit) * 0x100000001b3ull;
  }
  uint32_t mask = ((uint32_t)1 << WRITTEN_BITS_LOG) - 1;
  *first = (uint32_t)hash & mask;
  *second = (uint32_t)(hash >> 32) & mask;
  return true;
}

static bool bit_set(uint32_t index) {
  return (WrittenBits[index / 64] >> (index % 64) & 1) != 0;
}

void record_written_name(const wchar_t* name) {
  uint32_t first, second;
  if (!key_bits(name, &first, &second)) {
    RecordBroken = true;
    return;
  }
  WrittenBits[first / 64] |= (uint64_t)1 << (first % 64);
  WrittenBits[second / 64] |= (uint64_t)1 << (second % 64);
}

bool never_written(const wchar_t* name) {
  uint32_t first, second;
  if (RecordBroken || !key_bits(name, &first, &second)) return false;
  return !bit_set(first) || !bit_set(second);
}

void forget_written_names(void) {
  memset(WrittenBits, 0, sizeof WrittenBits);
  RecordBroken = false;
}
