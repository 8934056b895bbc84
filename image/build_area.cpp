// The runtime image's placeholder of the build area: the head alone, with no
// payload.  A runtime started as it is reports that it holds no payload.  The
// packing tool replaces the whole section.
#include <stddef.h>

#include "image/build_area.h"

// Every value is empty: each offset names the payload length, whose eight
// zero bytes read as an empty string in either width of wchar_t.
#define EMPTY_VALUE offsetof(struct build_area_head, payload_length)

static_assert(BUILD_VALUE_COUNT == 9, "the placeholder names every value");

extern "C" __attribute__((section(BUILD_AREA_SECTION), used, aligned(16)))
const struct build_area_head zovari_build_area = {
    BUILD_AREA_MARKER,
    BUILD_AREA_HEAD_SIZE,
    BUILD_AREA_HEAD_SIZE,
    0,
    BUILD_VALUE_COUNT,
    {EMPTY_VALUE, EMPTY_VALUE, EMPTY_VALUE, EMPTY_VALUE, EMPTY_VALUE, EMPTY_VALUE, EMPTY_VALUE,
     EMPTY_VALUE, EMPTY_VALUE},
};
