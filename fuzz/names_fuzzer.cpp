// extract's path joining under Windows rules, against an independent reading
// of Windows paths: every name that the name rules accept, joined to the
// folder, must be read by Windows as that very path (no drive, stream,
// device, "..", or dropped dot or space taking another file's place) and lie
// under the folder; names that the set rules accept must be distinct files
// there, none of them a folder above another.  The --exclude glob is checked
// too, against a plain recursive matcher on short inputs.
//
// Input: one byte choosing the folder, then UTF-16LE names separated by the
// unit 0; a name that starts with the unit 0xFFFF is instead a glob pattern,
// and the next name the text it is matched against (both as UTF-8, with
// units 0xDC80-0xDCFF written as the single bytes 0x80-0xFF).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "pack/payloads/names.h"
#include "pack/system/error.h"

using zovari::PackError;

namespace {

const char16_t* const ROOTS[] = {u"C:\\out", u"C:\\Users\\a b\\x.y", u"\\\\server\\share\\dir", u"Z:"};

[[noreturn]] void finding(const char* what, const std::u16string& text) {
  std::fprintf(stderr, "FINDING: %s:", what);
  for (char16_t unit : text) std::fprintf(stderr, " %04X", (unsigned)unit);
  std::fprintf(stderr, "\n");
  abort();
}

char16_t ascii_upper(char16_t unit) { return unit >= u'a' && unit <= u'z' ? (char16_t)(unit - 32) : unit; }

bool is_device(std::u16string part) {
  // Windows ends a device's name at its first dot and at the spaces before it.
  part = part.substr(0, part.find(u'.'));
  while (!part.empty() && part.back() == u' ') part.pop_back();
  for (char16_t& unit : part) unit = ascii_upper(unit);
  if (part == u"CON" || part == u"PRN" || part == u"AUX" || part == u"NUL" || part == u"CONIN$" ||
      part == u"CONOUT$") {
    return true;
  }
  return part.size() == 4 && (part.compare(0, 3, u"COM") == 0 || part.compare(0, 3, u"LPT") == 0) &&
         ((part[3] >= u'1' && part[3] <= u'9') || part[3] == 0xB9 || part[3] == 0xB2 || part[3] == 0xB3);
}

// How Windows reads a path below a folder it was given as a full path: "/"
// is "\", "." and ".." are steps, empty parts vanish, trailing dots and
// spaces are dropped; "plain" is cleared for anything that makes the path
// another kind of thing (a ":" for a drive or a stream, a device, a
// wildcard, a control character).
std::u16string windows_reading(const std::u16string& below, bool* plain) {
  std::vector<std::u16string> parts(1);
  for (char16_t unit : below) {
    if (unit == u'\\' || unit == u'/') {
      parts.emplace_back();
    } else {
      parts.back().push_back(unit);
      if (unit == u':' || unit < 0x20 || unit == u'*' || unit == u'?' || unit == u'"' || unit == u'<' ||
          unit == u'>' || unit == u'|') {
        *plain = false;
      }
    }
  }
  std::vector<std::u16string> kept;
  for (std::u16string part : parts) {
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (kept.empty()) *plain = false;  // above the folder
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    while (!part.empty() && (part.back() == u'.' || part.back() == u' ')) part.pop_back();
    if (part.empty() || is_device(part) || part.size() > 255) *plain = false;
    kept.push_back(part);
  }
  std::u16string out;
  for (size_t i = 0; i < kept.size(); ++i) out += (i ? u"\\" : u"") + kept[i];
  return out;
}

std::u16string ascii_folded(std::u16string text) {
  for (char16_t& unit : text) unit = ascii_upper(unit);
  return text;
}

std::string as_bytes(const std::u16string& units) {
  std::string out;
  for (char16_t unit : units) {
    if (unit >= 0xDC80 && unit <= 0xDCFF) {
      out.push_back((char)(unit - 0xDC00));
    } else if (unit < 0x80) {
      out.push_back((char)unit);
    } else if (unit < 0x800) {
      out.push_back((char)(0xC0 | (unit >> 6)));
      out.push_back((char)(0x80 | (unit & 0x3F)));
    } else {
      out.push_back((char)(0xE0 | (unit >> 12)));
      out.push_back((char)(0x80 | ((unit >> 6) & 0x3F)));
      out.push_back((char)(0x80 | (unit & 0x3F)));
    }
  }
  return out;
}

// The glob by plain recursion over bytes, for patterns of ASCII "*", "?"
// and literal bytes only (where bytes and characters agree: the text has
// no byte of 0x80 or above).
bool plain_glob(const char* p, const char* t) {
  if (*p == 0) return *t == 0;
  if (*p == '*') return plain_glob(p + 1, t) || (*t != 0 && plain_glob(p, t + 1));
  if (*t == 0) return false;
  return (*p == '?' || *p == *t) && plain_glob(p + 1, t + 1);
}

void check_glob(const std::u16string& pattern_units, const std::u16string& text_units) {
  const std::string pattern = as_bytes(pattern_units), text = as_bytes(text_units);
  bool matched = false;
  try {
    matched = zovari::glob_matches(pattern, text);
  } catch (const PackError&) {
    finding("the glob threw", pattern_units + u'|' + text_units);
  }
  if (pattern.size() > 12 || text.size() > 24) return;
  for (char c : pattern) {
    if (c == '[' || c == '\\' || (unsigned char)c >= 0x80) return;
  }
  for (char c : text) {
    if ((unsigned char)c >= 0x80 || c == 0) return;
  }
  if (pattern.find('\0') != std::string::npos) return;
  if (matched != plain_glob(pattern.c_str(), text.c_str())) finding("the glob differs", pattern_units + u'|' + text_units);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::u16string root = ROOTS[data[0] % (sizeof ROOTS / sizeof ROOTS[0])];
  std::vector<std::u16string> names(1);
  for (size_t i = 1; i + 1 < size && names.size() <= 64; i += 2) {
    char16_t unit = (char16_t)(data[i] | (data[i + 1] << 8));
    if (unit == 0) {
      names.emplace_back();
    } else {
      names.back().push_back(unit);
    }
  }
  std::vector<std::u16string> accepted, readings;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::u16string& name = names[i];
    if (!name.empty() && name[0] == 0xFFFF) {
      if (i + 1 < names.size()) check_glob(name.substr(1), names[++i]);
      continue;
    }
    std::string shown = zovari::display_name(name);
    for (char c : shown) {
      if ((unsigned char)c < 0x20 || c == 0x7F) finding("a name shown with a control character", name);
    }
    if (zovari::name_problem(name, true)) continue;
    const std::u16string place = zovari::windows_join(root, name);
    if (!zovari::windows_place_problem(root, place).empty()) finding("an accepted name's place refused", name);
    bool plain = true;
    const std::u16string reading = windows_reading(place.substr(root.size() + 1), &plain);
    if (place.compare(0, root.size() + 1, root + u"\\") != 0 || !plain || reading != name) {
      finding("an accepted name that Windows reads as another path", name);
    }
    accepted.push_back(name);
    readings.push_back(ascii_folded(reading));
  }
  if (!zovari::name_set_problem(accepted, true).empty()) return 0;
  // Names the set rules accept: distinct files, none a folder above another.
  for (size_t a = 0; a < readings.size(); ++a) {
    for (size_t b = 0; b < readings.size(); ++b) {
      if (a == b) continue;
      if (readings[a] == readings[b]) finding("two accepted names are one file", accepted[a] + u'|' + accepted[b]);
      if (readings[b].size() > readings[a].size() && readings[b].compare(0, readings[a].size(), readings[a]) == 0 &&
          readings[b][readings[a].size()] == u'\\') {
        finding("an accepted file is a folder above another", accepted[a] + u'|' + accepted[b]);
      }
    }
  }
  return 0;
}
