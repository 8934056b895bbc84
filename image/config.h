// The values that building a launcher for one application fixes: the
// payload and the build values of image/build_area.h.  A launcher reads them
// from its build area (image/build_values.cpp); programs that link the
// launcher's code without a packed application supply their own.
#ifndef ZOVARI_IMAGE_CONFIG_H
#define ZOVARI_IMAGE_CONFIG_H

#include <stdint.h>
#include <wchar.h>

#include "image/build_area.h"

// The build area itself, for the launcher's look at it before anything is
// read from it (image/build_area_check.h).
const unsigned char* build_area(void);
// The payload: "QDY", one zstd frame, zero padding, the trailer.  It lies in
// the image's read-only data.
const unsigned char* build_payload(void);
// Its whole length in bytes, magic included; a multiple of 8.
uint64_t build_payload_length(void);
// One of the build values; never null.
const wchar_t* build_value(enum build_value which);

// Whether the build asked for the opt-in behaviour name (L"clean-cache",
// L"pass-interrupts"): one of the words of BUILD_OPTIONS.
bool build_option(const wchar_t* name);

// Names of the build options, as BUILD_OPTIONS and the tool spell them.
#define BUILD_OPTION_CLEAN_CACHE L"clean-cache"
#define BUILD_OPTION_PASS_INTERRUPTS L"pass-interrupts"

#endif
