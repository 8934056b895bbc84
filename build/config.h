// The values that building a launcher for one application fixes.  The packing
// tool generates their definitions for each launcher it produces; the launcher
// code is compiled once per target and linked with them.
#ifndef ZOVARI_BUILD_CONFIG_H
#define ZOVARI_BUILD_CONFIG_H

#include <stdint.h>
#include <wchar.h>

extern "C" {
// The payload: "QDY", one zstd frame, zero padding, the trailer.  It lies in
// the image's read-only data.
extern const unsigned char zovari_payload[];
// Its whole length in bytes, magic included; a multiple of 8.
extern const uint64_t zovari_payload_length;

extern const wchar_t zovari_path_template[];
extern const wchar_t zovari_company[];
extern const wchar_t zovari_product[];
extern const wchar_t zovari_version[];
extern const wchar_t zovari_file_version[];
extern const wchar_t zovari_product_version[];
// The arguments the child always gets after its argument 0 and before the
// launcher's own: each NUL-terminated, the list ended by an empty one.
extern const wchar_t zovari_fixed_arguments[];
}

#endif
