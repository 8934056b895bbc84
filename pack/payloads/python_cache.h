// Python's compiled files in an application: those that a start of the
// launcher would see rewritten.
#ifndef ZOVARI_PACK_PYTHON_CACHE_H
#define ZOVARI_PACK_PYTHON_CACHE_H

#include <cstddef>
#include <string>
#include <vector>

#include "pack/payloads/writer.h"

namespace zovari {

// Whether the first bytes of a .pyc file say that it is checked against its
// source's modification time (the flags word 0, or a file older than the
// flags word) rather than against a hash of the source.
bool pyc_is_timestamp_based(const std::string& head);

// How many records are a __pycache__ file, checked by time, of a source
// that the records hold too.  Unpacked sources get the time of unpacking,
// so Python finds every such file stale and writes it again in the cache
// folder, and the next start puts the packed one back.
size_t count_stale_python_caches(const std::vector<PayloadRecord>& records);

// The warning for count such files, with the two ways out.
std::string stale_python_cache_warning(size_t count);

}  // namespace zovari

#endif
