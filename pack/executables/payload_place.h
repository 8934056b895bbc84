// Where a file's payload lies: a payload file of its own, or a launcher's
// build area, which the image's section table names (launcher_image.h).
#ifndef ZOVARI_PACK_EXECUTABLES_PAYLOAD_PLACE_H
#define ZOVARI_PACK_EXECUTABLES_PAYLOAD_PLACE_H

#include <cstdint>

#include "pack/payloads/reader.h"

namespace zovari {

// The payload of a file: the whole file when it starts with "QDY" (then it
// must be exactly one well-formed container), otherwise the one in a
// launcher's build area, which must be one too.  Throws PackError saying
// what is wrong.
PayloadLocation find_payload(const unsigned char* data, uint64_t size);

}  // namespace zovari

#endif
