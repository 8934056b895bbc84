// The build area's check (image/build_area_check.h), which a launcher makes
// of its own area before it reads anything from it.
//
// Input: byte 0 picks the width of a wide character (bit 0 set: 4 bytes, as
// on Linux; clear: 2, as on Windows); the rest is the area, of which exactly
// that much can be read (a heap copy of its size, so that the sanitizer sees
// any read past it).  Whatever the bytes, the check reads only inside them
// and says why when it refuses; an area it passes is then read as the
// launcher reads it: the payload inside the area, every value a text that
// ends inside it (the quick-start list in 16-bit units), the template
// through the rule for an absolute path.  Byte 0's bit 1 lets the earlier
// layouts pass as the tool reads them; an area of the current layout that
// holds a payload passes only with its values' checksum.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "guard.h"
#include "image/build_area.h"
#include "image/build_area_check.h"
#include "paths/template.h"

static uint64_t field(const unsigned char* at, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = bytes; i > 0; --i) value = (value << 8) | at[i - 1];
  return value;
}

// The text at offset as the launcher holds it, read unit by unit up to its
// terminating unit, which the check has promised lies inside the area.
static std::wstring text_at(const std::vector<unsigned char>& area, uint64_t offset, unsigned unit) {
  std::wstring text;
  for (uint64_t at = offset;; at += unit) {
    if (at + unit > area.size()) fuzz_finding("a value passed as sound runs past the area");
    uint64_t value = field(&area[at], unit);
    if (value == 0) return text;
    text.push_back((wchar_t)value);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const unsigned unit = (data[0] & 1) ? 4 : 2;
  std::vector<unsigned char> area(data + 1, data + size);
  const bool earlier = (data[0] & 2) != 0;
  build_area_verdict verdict = check_build_area(area.data(), area.size(), unit, earlier);
  if ((verdict.state == BUILD_AREA_SOUND) != (verdict.problem == nullptr)) {
    fuzz_finding("a verdict without its reason, or a reason without a refusal");
  }
  if (verdict.state != BUILD_AREA_SOUND) return 0;
  uint64_t payload_offset = field(area.data() + offsetof(build_area_head, payload_offset), 8);
  uint64_t payload_length = field(area.data() + offsetof(build_area_head, payload_length), 8);
  if (payload_offset > area.size() || payload_length > area.size() - payload_offset) {
    fuzz_finding("a payload passed as sound lies outside the area");
  }
  const uint64_t count = verdict.value_count;
  if (count != BUILD_VALUE_COUNT && (!earlier || build_value_slot(count, BUILD_FIXED_ARGUMENTS) < 0)) {
    fuzz_finding("an area of another layout passed as the launcher's own");
  }
  for (unsigned which = 0; which < BUILD_VALUE_COUNT; ++which) {
    const int slot = build_value_slot(count, (enum build_value)which);
    if (slot < 0) continue;
    uint64_t at = field(area.data() + offsetof(build_area_head, value_offsets) + 8 * (unsigned)slot, 8);
    const unsigned width = count == BUILD_VALUE_COUNT && which == BUILD_QUICK_START ? 2 : unit;
    std::wstring text = text_at(area, at, width);
    if (which == BUILD_TEMPLATE) {
      template_gives_absolute_path(text.c_str(), unit == 2);
    }
    if (which == BUILD_FIXED_ARGUMENTS) {
      while (!text.empty()) {
        at += (text.size() + 1) * unit;
        text = text_at(area, at, unit);
      }
    }
  }
  if (count == BUILD_VALUE_COUNT && payload_length != 0) {
    build_values_checksum(area.data(), payload_offset, unit);
  }
  return 0;
}
