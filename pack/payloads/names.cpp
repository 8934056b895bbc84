#include "pack/payloads/names.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "pack/system/text.h"
#include "platform/utf8.h"

namespace zovari {

namespace {

bool is_separator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

char16_t upper(char16_t unit) { return unit >= u'a' && unit <= u'z' ? (char16_t)(unit - 32) : unit; }

// Windows opens these as devices whatever folder they are in, and with any
// extension: "nul.txt" is NUL too.  The superscript digits count as digits.
bool is_device_name(const std::u16string& component) {
  std::u16string base = component.substr(0, component.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (char16_t& unit : base) unit = upper(unit);
  // The console's two ends too, which newer Windows opens in any folder.
  if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL" || base == u"CONIN$" ||
      base == u"CONOUT$") {
    return true;
  }
  if (base.size() != 4 || (base.compare(0, 3, u"COM") != 0 && base.compare(0, 3, u"LPT") != 0)) {
    return false;
  }
  char16_t digit = base[3];
  return (digit >= u'1' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' ||
         digit == u'\u00B3';
}

std::string hex_escape(char16_t unit) {
  char text[16];
  std::snprintf(text, sizeof text, unit < 0x80 ? "\\x%02X" : "\\u%04X", (unsigned)unit);
  return text;
}

}  // namespace

bool is_control(char16_t unit) { return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F); }

// Marks that change the order or the lines of the text around them, and
// characters that show nothing at all (format characters, fillers), which
// would let two names that differ look the same.
bool is_invisible_mark(char16_t unit) {
  return unit == 0x00AD || unit == 0x034F || unit == 0x061C || unit == 0x115F || unit == 0x1160 ||
         (unit >= 0x180B && unit <= 0x180F) || (unit >= 0x200B && unit <= 0x200F) ||
         (unit >= 0x2028 && unit <= 0x202E) || (unit >= 0x2060 && unit <= 0x206F) ||
         unit == 0x3164 || (unit >= 0xFE00 && unit <= 0xFE0F) || unit == 0xFEFF ||
         unit == 0xFFA0 || (unit >= 0xFFF0 && unit <= 0xFFFB);
}

namespace {

// The tag characters and variation selectors beyond the basic plane
// (U+E0000 to U+E01EF), which show nothing either.
bool is_invisible_pair(char16_t high, char16_t low) {
  return high == 0xDB40 && low >= 0xDC00 && low <= 0xDDEF;
}

}  // namespace

std::string reserved_character_problem(const std::u16string& text) {
  for (char16_t unit : text) {
    if (unit < 0x20) return "holds the control character " + hex_escape(unit);
    if (unit == u':') return "holds \":\", which Windows reads as a drive or a stream name";
    if (std::u16string(u"<>\"|?*").find(unit) != std::u16string::npos) {
      return "holds \"" + std::string(1, (char)unit) + "\", which Windows does not allow in names";
    }
  }
  return std::string();
}

std::string windows_component_problem(const std::u16string& component) {
  if (is_device_name(component)) {
    return "is the Windows device name " + utf8_from_utf16(component.substr(0, component.find(u'.')));
  }
  if (!component.empty() && (component.back() == u'.' || component.back() == u' ')) {
    return std::string("ends in ") + (component.back() == u'.' ? "a dot" : "a space") +
           " that Windows drops";
  }
  return std::string();
}

std::vector<std::u16string> name_components(const std::u16string& name) {
  std::vector<std::u16string> out(1);
  for (char16_t unit : name) {
    if (is_separator(unit)) {
      out.emplace_back();
    } else {
      out.back().push_back(unit);
    }
  }
  return out;
}

namespace {

// The bytes a name takes in UTF-8 (a surrogate pair's four as two and two).
size_t utf8_length(const std::u16string& text) {
  size_t bytes = 0;
  for (char16_t unit : text) bytes += unit < 0x80 ? 1 : unit < 0x800 || (unit >= 0xD800 && unit <= 0xDFFF) ? 2 : 3;
  return bytes;
}

// File systems hold a folder or file name of 255 units at most: UTF-16
// units on Windows, bytes of UTF-8 on Linux's.
std::string long_component_problem(const std::vector<std::u16string>& components, bool windows) {
  for (const std::u16string& component : components) {
    size_t length = windows ? component.size() : utf8_length(component);
    if (length > MAX_COMPONENT_UNITS) {
      return "has a part of " + std::to_string(length) + (windows ? " UTF-16 units" : " bytes") +
             ", more than the " + std::to_string(MAX_COMPONENT_UNITS) + " that file systems hold in one name";
    }
  }
  return std::string();
}

}  // namespace

NameProblem name_problem(const std::u16string& name, bool windows) {
  NameProblem problem;
  if (name.empty()) {
    problem.text = "is empty";
    return problem;
  }
  if (name.size() >= 2 && name[1] == u':' && upper(name[0]) >= u'A' && upper(name[0]) <= u'Z') {
    problem.text = "starts with a drive letter";
    return problem;
  }
  std::vector<std::u16string> components = name_components(name);
  for (size_t i = 0; i < components.size(); ++i) {
    const std::u16string& component = components[i];
    if (component.empty()) {
      problem.text = i == 0 ? "is absolute" : "has an empty component";
    } else if (component == u"." || component == u"..") {
      problem.text = "has a \"" + utf8_from_utf16(component) + "\" component";
    }
    if (problem) return problem;
  }
  if (std::string why = long_component_problem(components, windows); !why.empty()) {
    problem.text = why;
    problem.too_long = true;
    problem.windows_only = windows;
    return problem;
  }
  if (!windows) return problem;
  problem.windows_only = true;
  if (name.find(u'/') != std::u16string::npos) {
    problem.text = "holds \"/\", which Windows takes for a separator where the payload has \"\\\"";
    return problem;
  }
  problem.text = reserved_character_problem(name);
  for (size_t i = 0; i < components.size() && !problem; ++i) {
    std::string why = windows_component_problem(components[i]);
    if (!why.empty()) problem.text = "has the part \"" + display_name(components[i]) + "\", which " + why;
  }
  return problem;
}

namespace {

// Windows compares names unit by unit through its table of capitals: the
// simple uppercase mapping of the Basic Multilingual Plane, less a few
// letters it keeps apart (see names_upcase.cmake, which makes the table from
// the Unicode data when the tool is built).
struct UpcasePair {
  char16_t unit, upper;
};
constexpr UpcasePair UPCASE[] = {
#include "upcase_pairs.inc"
};

char16_t fold_case(char16_t unit) {
  const UpcasePair* end = UPCASE + sizeof UPCASE / sizeof UPCASE[0];
  const UpcasePair* at =
      std::lower_bound(UPCASE, end, unit, [](const UpcasePair& pair, char16_t u) { return pair.unit < u; });
  return at != end && at->unit == unit ? at->upper : unit;
}

}  // namespace

namespace {

// A name as a file system tells names apart: one separator, and for Windows
// one case and no dots or spaces at the end of a part, which it drops.
std::u16string name_key(const std::u16string& name, bool fold) {
  std::u16string key;
  for (char16_t unit : name) {
    if (is_separator(unit) && fold) {
      while (!key.empty() && (key.back() == u'.' || key.back() == u' ')) key.pop_back();
    }
    key.push_back(is_separator(unit) ? u'\\' : fold ? fold_case(unit) : unit);
  }
  while (fold && !key.empty() && (key.back() == u'.' || key.back() == u' ')) key.pop_back();
  return key;
}

// Whether two names that one file stands for differ in more than case.
bool differ_in_case_only(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold_case(a[i]) != fold_case(b[i]) && !(is_separator(a[i]) && is_separator(b[i]))) return false;
  }
  return true;
}

std::string quoted_name(const std::u16string& name) { return "\"" + display_name(name) + "\""; }

}  // namespace

namespace {

// The first two names that one file stands for, where the file system
// compares them with fold_case or exactly: their indexes, or none.
std::optional<std::pair<size_t, size_t>> first_shared_file(const std::vector<std::u16string>& names,
                                                           bool fold) {
  std::map<std::u16string, size_t> seen;
  for (size_t i = 0; i < names.size(); ++i) {
    auto [at, fresh] = seen.emplace(name_key(names[i], fold), i);
    if (!fresh) return std::make_pair(at->second, i);
  }
  return std::nullopt;
}

}  // namespace

std::pair<std::u16string, std::u16string> case_collision(const std::vector<std::u16string>& names) {
  auto pair = first_shared_file(names, true);
  if (!pair) return {};
  return {names[pair->first], names[pair->second]};
}

std::string name_set_problem(const std::vector<std::u16string>& names, bool windows) {
  if (auto pair = first_shared_file(names, windows)) {
    const std::u16string& first = names[pair->first];
    const std::u16string& second = names[pair->second];
    if (first == second) return "holds the name " + quoted_name(first) + " twice";
    return "holds the names " + quoted_name(first) + " and " + quoted_name(second) +
           (name_key(first, false) == name_key(second, false) ? ", which name one file"
            : differ_in_case_only(first, second) ? ", which differ only in case: Windows keeps one file for both"
                                                 : ", which Windows takes for one file");
  }
  // A file's name must not be a folder above another file.
  std::map<std::u16string, size_t> files;  // key -> name
  for (size_t i = 0; i < names.size(); ++i) files.emplace(name_key(names[i], windows), i);
  for (const std::u16string& name : names) {
    std::u16string key = name_key(name, windows);
    for (size_t cut = key.find(u'\\'); cut != std::u16string::npos; cut = key.find(u'\\', cut + 1)) {
      auto file = files.find(key.substr(0, cut));
      if (file == files.end()) continue;
      const std::u16string& folder = names[file->second];
      bool same_case = name_key(folder, false) == name_key(name.substr(0, cut), false);
      return "holds " + quoted_name(folder) + " as a file and as the folder of " + quoted_name(name) +
             (same_case ? "" : ", as Windows reads names");
    }
  }
  return std::string();
}

std::u16string windows_join(const std::u16string& root, const std::u16string& name) {
  return root + u'\\' + name;
}

std::string windows_place_problem(const std::u16string& root, const std::u16string& place) {
  if (place.size() <= root.size() + 1 || place.compare(0, root.size(), root) != 0 ||
      place[root.size()] != u'\\') {
    return "does not lie under the folder";
  }
  NameProblem problem = name_problem(place.substr(root.size() + 1), true);
  return problem ? "would not lie under the folder as Windows reads it: it " + problem.text : std::string();
}

std::u16string with_separator(std::u16string name, char16_t separator) {
  for (char16_t& unit : name) unit = unit == u'\\' ? separator : unit;
  return name;
}

std::string display_name(const std::u16string& name) {
  std::string out;
  std::u16string run;  // plain text waiting to be converted
  for (size_t i = 0; i < name.size(); ++i) {
    char16_t unit = name[i];
    bool pair = unit >= 0xD800 && unit <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
                name[i + 1] <= 0xDFFF;
    if (pair && is_invisible_pair(unit, name[i + 1])) {
      char text[16];
      std::snprintf(text, sizeof text, "\\U%08X", 0x10000u + ((unit - 0xD800u) << 10) + (name[++i] - 0xDC00u));
      out += utf8_from_utf16(run) + text;
      run.clear();
    } else if (pair) {
      run.push_back(unit);
      run.push_back(name[++i]);
    } else if (is_control(unit) || is_invisible_mark(unit) || (unit >= 0xD800 && unit <= 0xDFFF)) {
      out += utf8_from_utf16(run) + hex_escape(unit);
      run.clear();
    } else {
      run.push_back(unit);
    }
  }
  return out + utf8_from_utf16(run);
}

namespace {

// The characters of text; a byte that is no part of UTF-8 stands for
// itself, as U+DC80 to U+DCFF (no character of UTF-8 text), so that any
// file name can be matched and "*" and "?" take such bytes too.
std::u32string code_points(const std::string& text) {
  std::u32string out;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    uint32_t code = 0;
    size_t used = utf8_decode(bytes + i, text.size() - i, &code);
    if (used == 0) {
      out.push_back(0xDC00 + bytes[i]);
      ++i;
    } else {
      out.push_back(code);
      i += used;
    }
  }
  return out;
}

// The set at pattern[at] ("[" already passed) against c: whether c is in
// it, with *end just behind its "]"; false with *end at npos when it never closes.
bool in_set(const std::u32string& pattern, size_t at, char32_t c, size_t* end) {
  bool negated = at < pattern.size() && (pattern[at] == U'!' || pattern[at] == U'^');
  if (negated) ++at;
  bool found = false;
  for (bool first = true; at < pattern.size() && (first || pattern[at] != U']'); first = false) {
    char32_t low = pattern[at] == U'\\' && at + 1 < pattern.size() ? pattern[++at] : pattern[at];
    ++at;
    char32_t high = low;
    if (at + 1 < pattern.size() && pattern[at] == U'-' && pattern[at + 1] != U']') {
      high = pattern[at + 1] == U'\\' && at + 2 < pattern.size() ? pattern[++at + 1] : pattern[at + 1];
      at += 2;
    }
    if (c >= low && c <= high) found = true;
  }
  *end = at < pattern.size() ? at + 1 : std::u32string::npos;
  return found != negated;
}

// Whether the one element of pattern at p (a character, "?", a set or an
// escaped character) takes c; *next is the pattern behind it.
bool element_takes(const std::u32string& pattern, size_t p, char32_t c, size_t* next) {
  char32_t want = pattern[p];
  if (want == U'?') {
    *next = p + 1;
    return true;
  }
  if (want == U'[') {
    size_t end = 0;
    bool in = in_set(pattern, p + 1, c, &end);
    if (end != std::u32string::npos) {
      *next = end;
      return in;
    }
    // An open "[" is itself.
  } else if (want == U'\\' && p + 1 < pattern.size()) {
    want = pattern[++p];
  }
  *next = p + 1;
  return c == want;
}

// The glob's match, in time proportional to the pattern's length times the
// text's: at a "*" only the last one is ever gone back to, since whatever
// an earlier "*" would take instead the last one can take as well.
bool match(const std::u32string& pattern, const std::u32string& text) {
  size_t p = 0, t = 0;
  size_t star = std::u32string::npos, star_text = 0;  // behind the last "*", and where its run ends
  while (t < text.size()) {
    size_t next = 0;
    if (p < pattern.size() && pattern[p] == U'*') {
      star = ++p;
      star_text = t;
    } else if (p < pattern.size() && element_takes(pattern, p, text[t], &next)) {
      p = next;
      ++t;
    } else if (star != std::u32string::npos) {
      p = star;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == U'*') ++p;
  return p == pattern.size();
}

}  // namespace

bool glob_matches(const std::string& pattern, const std::string& text) {
  return match(code_points(pattern), code_points(text));
}

}  // namespace zovari
