#include "pack/payloads/names.h"

#include <cstdio>
#include <map>
#include <optional>

#include "pack/system/text.h"

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
  if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL") return true;
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

char16_t fold_case(char16_t unit) {
  if (unit >= u'A' && unit <= u'Z') return (char16_t)(unit + 32);
  if ((unit >= 0xC0 && unit <= 0xDE && unit != 0xD7) || (unit >= 0x391 && unit <= 0x3AB && unit != 0x3A2) ||
      (unit >= 0x410 && unit <= 0x42F)) {
    return (char16_t)(unit + 32);
  }
  if (unit >= 0x400 && unit <= 0x40F) return (char16_t)(unit + 80);
  // Latin Extended-A: capital at the even place, small after it (but for
  // the dotted capital I and the dotless small i, which are no pair, and the
  // pairs shifted by one in 0x139-0x148 and 0x179-0x17E).
  if ((unit >= 0x100 && unit <= 0x137 && unit % 2 == 0 && unit != 0x130) || (unit >= 0x14A && unit <= 0x177 && unit % 2 == 0)) {
    return (char16_t)(unit + 1);
  }
  if (((unit >= 0x139 && unit <= 0x148) || (unit >= 0x179 && unit <= 0x17E)) && unit % 2 == 1) {
    return (char16_t)(unit + 1);
  }
  return unit;
}

}  // namespace

namespace {

// A name as a file system tells names apart: one separator, and for Windows
// one case.
std::u16string name_key(const std::u16string& name, bool fold) {
  std::u16string key = name;
  for (char16_t& unit : key) unit = is_separator(unit) ? u'\\' : fold ? fold_case(unit) : unit;
  return key;
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
           (name_key(first, false) == name_key(second, false)
                ? ", which name one file"
                : ", which differ only in case: Windows keeps one file for both");
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

std::u32string code_points(const std::string& text) {
  std::u16string units = utf16_from_utf8(text);
  std::u32string out;
  for (size_t i = 0; i < units.size(); ++i) {
    char32_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size()) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    out.push_back(unit);
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

bool match_from(const std::u32string& pattern, size_t p, const std::u32string& text, size_t t) {
  while (p < pattern.size()) {
    char32_t c = pattern[p];
    if (c == U'*') {
      while (p < pattern.size() && pattern[p] == U'*') ++p;
      if (p == pattern.size()) return true;
      for (size_t from = t; from <= text.size(); ++from) {
        if (match_from(pattern, p, text, from)) return true;
      }
      return false;
    }
    if (t == text.size()) return false;
    if (c == U'?') {
      ++p;
    } else if (c == U'[') {
      size_t end = 0;
      bool in = in_set(pattern, p + 1, text[t], &end);
      if (end == std::u32string::npos) {  // an open "[" is itself
        if (text[t] != U'[') return false;
        ++p;
      } else {
        if (!in) return false;
        p = end;
      }
    } else {
      if (c == U'\\' && p + 1 < pattern.size()) c = pattern[++p];
      if (text[t] != c) return false;
      ++p;
    }
    ++t;
  }
  return t == text.size();
}

}  // namespace

bool glob_matches(const std::string& pattern, const std::string& text) {
  return match_from(code_points(pattern), 0, code_points(text), 0);
}

}  // namespace zovari
