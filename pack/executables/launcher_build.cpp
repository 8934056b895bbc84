#include "pack/executables/launcher_build.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "image/build_area.h"
#include "image/config.h"
#include "pack/executables/binary_kind.h"
#include "pack/system/error.h"
#include "pack/executables/icon.h"
#include "pack/executables/launcher_image.h"
#include "pack/executables/payload_place.h"
#include "pack/system/temporary_output.h"
#include "pack/system/text.h"
#include "pack/payloads/names.h"
#include "pack/payloads/reader.h"
#include "pack/executables/resources.h"
#include "pack/executables/runtime_image.h"
#include "paths/bounded.h"
#include "paths/template.h"
#include "paths/tokens.h"
#include "payload/checksum.h"
#include "payload/format.h"
#include "payload/quick_start_list.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

const char* const WINDOWS_TEMPLATE = "{CACHE_DIR}\\{PRODUCT}\\{VERSION}";
const char* const LINUX_TEMPLATE = "{CACHE_DIR}/{PRODUCT}/{VERSION}";
// Where the payload's digest goes once the payload is written, as long.
const std::string DIGEST_PLACEHOLDER = "00000000";

// A build value as the launcher keeps a wide string, with its terminating 0:
// UTF-16 units on Windows, code points on Linux.  what names the value in a
// refusal.
std::vector<uint32_t> wide_units(const std::string& utf8, const std::string& target,
                                 const std::string& what) {
  std::u16string units;
  try {
    units = utf16_from_utf8(utf8);
  } catch (const PackError&) {
    throw PackError(what + " is not valid UTF-8 text");
  }
  std::vector<uint32_t> out;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t value = units[i];
    if (value == 0) throw PackError(what + " holds a NUL character");
    if (target == "linux" && value >= 0xD800 && value <= 0xDBFF) {
      value = 0x10000 + ((value - 0xD800) << 10) + (units[++i] - 0xDC00);
    }
    out.push_back(value);
  }
  out.push_back(0);
  return out;
}

// Units of a template (UTF-16 units held in wchar_t) as UTF-8.
std::string narrow_units(const std::wstring& units) {
  return utf8_from_utf16(std::u16string(units.begin(), units.end()));
}

// The token names a template may use, as a message lists them.
std::string known_tokens() {
  std::string out;
  for (const wchar_t* name : PATH_TOKEN_NAMES) {
    out += (out.empty() ? "{" : " {") + narrow_units(name) + "}";
  }
  return out;
}

// The build area's head and values, to be followed by the payload: the head
// of image/build_area.h, each value as a NUL-terminated wide string on a
// 4-byte boundary, the payload on a 16-byte one.
std::string build_area_head(uint64_t payload_length, const LauncherSettings& s) {
  struct Value {
    const std::string& text;
    const char* what;
  };
  const Value values[] = {
      {s.path_template, "the path template"}, {s.company, "--company"},
      {s.product, "--product"},               {s.version, "--version"},
      {s.file_version, "--file-version"},     {s.product_version, "--product-version"},
  };
  static_assert(sizeof values / sizeof values[0] == BUILD_QUICK_START, "every build value is written");
  const bool on_linux = s.target == "linux";
  const unsigned width = on_linux ? 4 : 2;
  std::string out(BUILD_AREA_HEAD_SIZE, '\0');
  auto put = [&out](size_t at, uint64_t value) {
    for (unsigned i = 0; i < 8; ++i) out[at + i] = (char)(value >> (8 * i));
  };
  out.replace(0, BUILD_AREA_MARKER_SIZE, BUILD_AREA_MARKER, BUILD_AREA_MARKER_SIZE);
  put(40, BUILD_VALUE_COUNT);
  auto put_units = [&](const std::vector<uint32_t>& units) {
    for (uint32_t unit : units) {
      for (unsigned i = 0; i < width; ++i) out.push_back((char)(unit >> (8 * i)));
    }
  };
  for (size_t v = 0; v < BUILD_QUICK_START; ++v) {
    out.append((4 - out.size() % 4) % 4, '\0');
    put(48 + 8 * v, out.size());
    put_units(wide_units(values[v].text, s.target, values[v].what));
  }
  out.append((4 - out.size() % 4) % 4, '\0');
  put(48 + 8 * BUILD_QUICK_START, out.size());
  put_units(s.quick_start_list);
  put_units({0});
  out.append((4 - out.size() % 4) % 4, '\0');
  put(48 + 8 * BUILD_OPTIONS, out.size());
  put_units(wide_units(build_options_value(s), s.target, "the build options"));
  // The fixed arguments: each a wide string with its 0, the list ended by
  // one more 0 (an empty argument would end it, and the child gets none).
  out.append((4 - out.size() % 4) % 4, '\0');
  put(48 + 8 * BUILD_FIXED_ARGUMENTS, out.size());
  for (const std::string& argument : s.fixed_arguments) {
    std::vector<uint32_t> units = wide_units(argument, s.target, "--arg \"" + argument + "\"");
    if (units.size() == 1) throw PackError("--arg needs a text: the child gets no empty arguments");
    put_units(units);
  }
  put_units({0});
  out.append((16 - out.size() % 16) % 16, '\0');
  put(16, out.size() + payload_length);
  put(24, out.size());
  put(32, payload_length);
  return out;
}

// The version record's values of a Windows launcher.
VersionValues version_values(const LauncherSettings& s) {
  VersionValues values;
  values.product = s.product;
  values.company = s.company;
  // The description as given: Explorer shows it as the file's name in its
  // details and the task manager as the process's, so the product stands
  // in for a missing one.
  values.description = s.description.empty() ? s.product : s.description;
  values.copyright = s.copyright;
  values.file_version = four_part_version(s.file_version, s.file_version_option,
                                          s.file_version_option == "--version");
  values.product_version = four_part_version(s.product_version, s.product_version_option, true);
  // Free text stays as given in the string; a plain version is written out
  // in four numbers, as always.
  if (parse_version(s.product_version).empty()) values.product_version_text = s.product_version;
  values.original_filename = s.original_filename;
  values.internal_name = s.product;
  return values;
}

// Room on a Windows child's command line (32767 units) for the fixed
// arguments: what is left beside argument 0, the launcher's path at its
// longest and quoted, and 8192 units for the launcher's own arguments, as
// much as a whole cmd.exe command line.
constexpr size_t WINDOWS_COMMAND_LINE = 32767;
constexpr size_t OWN_ARGUMENTS_ROOM = 8192;
constexpr size_t FIXED_ARGUMENTS_ROOM = WINDOWS_COMMAND_LINE - (PATH_CAPACITY - 1 + 2) - OWN_ARGUMENTS_ROOM;

// "{TARGET_DIR}" in a fixed argument: the target directory, filled in at start.
const std::u16string TARGET_DIR_TOKEN = u"{TARGET_DIR}";

// The fixed arguments must fit FIXED_ARGUMENTS_ROOM as the launcher writes
// them: each after a space, quoted as windows_quoted_length counts, with
// every {TARGET_DIR} as long as a path may be.
void check_windows_arguments(const std::vector<std::string>& arguments) {
  size_t total = 0;
  for (const std::string& argument : arguments) {
    std::u16string units;
    try {
      units = utf16_from_utf8(argument);
    } catch (const PackError&) {
      continue;  // build_area_head names it
    }
    // A path of spaces: the longest, and quoted.  The launcher takes the
    // token in any case, as template tokens are taken.
    std::u16string upper = units;
    for (char16_t& unit : upper) {
      if (unit >= u'a' && unit <= u'z') unit = (char16_t)(unit - 32);
    }
    for (size_t at = upper.find(TARGET_DIR_TOKEN); at != std::u16string::npos;
         at = upper.find(TARGET_DIR_TOKEN, at + PATH_CAPACITY - 1)) {
      units.replace(at, TARGET_DIR_TOKEN.size(), PATH_CAPACITY - 1, u' ');
      upper.replace(at, TARGET_DIR_TOKEN.size(), PATH_CAPACITY - 1, u' ');
    }
    total += 1 + windows_quoted_length(units);
  }
  if (total > FIXED_ARGUMENTS_ROOM) {
    throw PackError("the --arg values take " + std::to_string(total) + " characters of a Windows command line, " +
                    "quoted and each {TARGET_DIR} counted at " + std::to_string(PATH_CAPACITY - 1) + "; " +
                    std::to_string(FIXED_ARGUMENTS_ROOM) + " fit beside the launcher's path and " +
                    std::to_string(OWN_ARGUMENTS_ROOM) + " for its own arguments (the line holds " +
                    std::to_string(WINDOWS_COMMAND_LINE) + ")");
  }
}

// The Windows resources of a launcher, made and checked.
WindowsResources launcher_resources(const LauncherSettings& s) {
  WindowsResources resources = make_windows_resources(version_values(s), s.icon_png, s.icon_name);
  resources.manifest = launcher_manifest(s.uac_admin);
  return resources;
}

}  // namespace


size_t windows_quoted_length(const std::u16string& argument) {
  if (argument.find_first_of(u" \t\n\v\"") == std::u16string::npos) return argument.size();
  size_t length = 2 + argument.size(), backslashes = 0;
  for (char16_t unit : argument) {
    if (unit == u'"') length += backslashes + 1;
    backslashes = unit == u'\\' ? backslashes + 1 : 0;
  }
  return length + backslashes;
}

std::string four_part_version(const std::string& version, const std::string& what, bool leading) {
  std::string numeric = version;
  if (leading) {
    // "1.2.3-beta" -> "1.2.3": digits and dots, without a trailing dot.
    numeric = version.substr(0, version.find_first_not_of("0123456789."));
    while (!numeric.empty() && numeric.back() == '.') numeric.pop_back();
  }
  std::vector<unsigned> numbers = parse_version(numeric);
  if (numbers.empty()) {
    throw PackError(what + " \"" + version + (leading ? "\" does not start with" : "\" is not") +
                    " a version of one to four numbers (0 to 65535) separated by dots");
  }
  numbers.resize(4, 0);
  return std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
         std::to_string(numbers[2]) + "." + std::to_string(numbers[3]);
}

void check_path_template(const std::string& path_template) {
  std::u16string units;
  try {
    units = utf16_from_utf8(path_template);
  } catch (const PackError&) {
    throw PackError("the path template is not valid UTF-8 text");
  }
  if (units.empty()) throw PackError("the path template is empty");
  const std::wstring wide(units.begin(), units.end());
  const wchar_t* position = wide.c_str();
  for (;;) {
    template_piece piece = next_template_piece(&position);
    if (piece.kind == TEMPLATE_END) return;
    if (piece.kind == TEMPLATE_UNCLOSED) {
      throw PackError("the path template has a \"{\" that is never closed: " + path_template);
    }
    if (piece.kind != TEMPLATE_TOKEN) continue;
    const std::wstring name(piece.text, piece.length);
    if (name.size() >= TEMPLATE_NAME_CAPACITY || find_path_token(name.c_str()) == TOKEN_UNKNOWN) {
      throw PackError("the path template holds an unknown token {" + narrow_units(name) +
                      "}; known tokens: " + known_tokens());
    }
  }
}

namespace {

// The build values that can stand in the path, with the option that sets each.
struct BuildValue {
  path_token token;
  const char* option;
  const std::string* text;
};

std::vector<BuildValue> build_values(const LauncherSettings& s) {
  return {{TOKEN_COMPANY, "--company", &s.company},
          {TOKEN_PRODUCT, "--product", &s.product},
          {TOKEN_VERSION, "--version", &s.version},
          {TOKEN_FILE_VERSION, "--file-version", &s.file_version},
          {TOKEN_PRODUCT_VERSION, "--product-version", &s.product_version}};
}

std::u16string utf16_value(const BuildValue& value) {
  try {
    return utf16_from_utf8(*value.text);
  } catch (const PackError&) {
    throw PackError(std::string(value.option) + " is not valid UTF-8 text");
  }
}

// A value that the template uses goes into the path as part of one folder
// name: whatever would split or break a folder name is refused.  A value the
// path never holds (a company name with a backslash, say) only goes into the
// version record, where any text is fine.
void check_value_in_path(const BuildValue& value) {
  std::u16string units = utf16_value(value);
  std::string shown = "\"" + display_name(units) + "\"";
  std::string problem;
  if (units == u"." || units == u"..") {
    problem = "would be the folder \"" + *value.text + "\" in the path";
  } else if (units.find_first_of(u"\\/") != std::u16string::npos) {
    problem = "holds a path separator";
  } else {
    problem = reserved_character_problem(units);
  }
  if (!problem.empty()) throw PackError(std::string(value.option) + " " + shown + " " + problem);
}

// The length of a text in the launcher's wide characters: UTF-16 units on
// Windows, code points elsewhere.
size_t wide_length(const std::u16string& units, const std::string& target) {
  size_t length = units.size();
  if (target != "windows") {
    for (char16_t unit : units) length -= (unit >= 0xDC00 && unit <= 0xDFFF) ? 1 : 0;
  }
  return length;
}

// Walks the template with the build values in place: checks the values it
// uses, that its fixed part (all but the values only known at run time) fits the path buffer with
// a separator and the longest name, and for Windows that no folder made with
// a build value is a device name or ends in a dot or space.
void check_template_path(const LauncherSettings& s, const std::vector<std::u16string>& names) {
  std::u16string units = utf16_from_utf8(s.path_template);
  const std::wstring wide(units.begin(), units.end());
  std::vector<BuildValue> values = build_values(s);
  size_t fixed = 0;
  std::u16string folder;
  std::string options;  // the options whose values make the current folder
  auto end_folder = [&]() {
    std::string problem = options.empty() ? std::string() : windows_component_problem(folder);
    if (s.target == "windows" && !problem.empty()) {
      throw PackError("the path template makes the folder \"" + display_name(folder) + "\", which " +
                      problem + " (from" + options + ")");
    }
    folder.clear();
    options.clear();
  };
  const wchar_t* position = wide.c_str();
  for (template_piece piece = next_template_piece(&position); piece.kind != TEMPLATE_END;
       piece = next_template_piece(&position)) {
    if (piece.kind == TEMPLATE_LITERAL) {
      for (size_t i = 0; i < piece.length; ++i) {
        char16_t unit = (char16_t)piece.text[i];
        fixed += wide_length(std::u16string(1, unit), s.target);
        if (unit == u'\\' || unit == u'/') {
          end_folder();
        } else {
          folder.push_back(unit);
        }
      }
      continue;
    }
    if (piece.kind != TEMPLATE_TOKEN) continue;
    const std::wstring token(piece.text, piece.length);
    path_token which = find_path_token(token.c_str());
    const BuildValue* value = nullptr;
    for (const BuildValue& candidate : values) {
      if (candidate.token == which) value = &candidate;
    }
    if (value == nullptr) {
      folder.push_back(u'_');  // a run-time value: part of the folder, length unknown
      continue;
    }
    check_value_in_path(*value);
    std::u16string text = utf16_value(*value);
    if (text.empty()) {
      throw PackError("the path template uses {" + narrow_units(token) + "}, but " +
                      value->option + " is empty");
    }
    fixed += wide_length(text, s.target);
    folder += text;
    options += std::string(" ") + value->option;
  }
  end_folder();
  size_t longest = 0;
  for (const std::u16string& name : names) longest = std::max(longest, wide_length(name, s.target));
  const size_t room = PATH_CAPACITY - 1;
  if (fixed > room) {
    throw PackError("the path template's fixed part is " + std::to_string(fixed) +
                    " characters long; the launcher's path buffer holds " + std::to_string(room));
  }
  if (fixed + 1 + longest > room) {
    throw PackError("the path template's fixed part (" + std::to_string(fixed) +
                    " characters), a separator and the longest name (" + std::to_string(longest) +
                    ") pass the " + std::to_string(room) + " characters of the launcher's path buffer");
  }
}

// A name as a launcher of target unpacks it, for a message: with "/"
// between its components for Linux.
std::string shown_name(const std::u16string& name, const std::string& target) {
  return "\"" + display_name(target == "linux" ? with_separator(name, u'/') : name) + "\"";
}

// Every name by the rules of names.h, with the Windows ones for Windows,
// then the names together.
void check_names(const std::vector<std::u16string>& names, const std::string& target) {
  std::vector<std::u16string> shown;
  for (const std::u16string& name : names) {
    NameProblem problem = name_problem(name, target == "windows");
    if (problem) {
      throw PackError("cannot use the name " + shown_name(name, target) + ": it " + problem.text +
                      (problem.windows_only ? "; a Windows launcher could not unpack it" : ""));
    }
    // The set's rules take "/" and "\" alike; its message shows them as given.
    shown.push_back(target == "linux" ? with_separator(name, u'/') : name);
  }
  std::string together = name_set_problem(shown, target == "windows");
  if (!together.empty()) throw PackError("the payload " + together);
}

}  // namespace

std::string build_options_value(const LauncherSettings& s) {
  std::string words;
  auto add = [&words](bool on, const wchar_t* name) {
    if (!on) return;
    if (!words.empty()) words += ' ';
    for (const wchar_t* c = name; *c != 0; ++c) words += (char)*c;
  };
  add(s.clean_cache, BUILD_OPTION_CLEAN_CACHE);
  add(s.pass_interrupts, BUILD_OPTION_PASS_INTERRUPTS);
  return words;
}

void set_content_digest(LauncherSettings& s, const unsigned char* payload, uint64_t size) {
  char digest[16];
  std::snprintf(digest, sizeof digest, "%08x", (unsigned)crc32_continue(0, payload, (size_t)size));
  if (s.version_from_content) s.version = std::string("0.0.0-") + digest;
  if (s.digest_in_template) {
    s.path_template.replace(s.path_template.size() - DIGEST_PLACEHOLDER.size(), DIGEST_PLACEHOLDER.size(),
                            digest);
  }
}

namespace {

// The names and sizes of a payload's records, for the quick-start list.
class QuickStartLister : public RecordVisitor {
 public:
  void begin_record(const RecordInfo& record) override {
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, "%llx %zx ", (unsigned long long)record.size, record.name.size());
    for (const char* c = numbers; *c != 0; ++c) list.push_back((unsigned char)*c);
    list.insert(list.end(), record.name.begin(), record.name.end());
  }
  std::vector<uint32_t> list;
};

}  // namespace

void set_quick_start_list(LauncherSettings& s, const unsigned char* payload, uint64_t size) {
  if (!s.quick_start) return;
  uint64_t identity = 0;
  uint64_t at = 0;
  for (; size - at >= 8; at += 8) identity = quick_start_mix(identity, read_little_endian(payload + at, 8));
  identity = quick_start_mix(identity, read_little_endian(payload + at, (size_t)(size - at)));
  identity = quick_start_mix(identity, size);
  char text[32];
  std::snprintf(text, sizeof text, "%016llx ", (unsigned long long)identity);
  QuickStartLister lister;
  for (const char* c = text; *c != 0; ++c) lister.list.push_back((unsigned char)*c);
  read_payload(payload, find_payload(payload, size), lister, false);
  s.quick_start_list = std::move(lister.list);
}

namespace {

// The target a main binary needs, from its format; empty when neither.
// A script with "#!" runs on Linux as a program does.
std::string target_of(const BinaryKind& kind, const std::string& head) {
  if (kind.format == BinaryFormat::pe) return "windows";
  if (kind.format == BinaryFormat::elf || head.compare(0, 2, "#!") == 0) return "linux";
  return std::string();
}

// A template must expand to an absolute path (template_gives_absolute_path).
// On Linux "\" is no separator, so it is refused there.
void check_template_is_absolute(const std::string& path_template, const std::string& target) {
  std::u16string units = utf16_from_utf8(path_template);
  if (target == "linux" && units.find(u'\\') != std::u16string::npos) {
    throw PackError("the path template \"" + path_template +
                    "\" holds \"\\\", which is no separator on Linux; use \"/\"");
  }
  const std::wstring wide(units.begin(), units.end());
  if (!template_gives_absolute_path(wide.c_str(), target == "windows")) {
    std::string tokens;
    for (path_token token : ABSOLUTE_PATH_TOKENS) tokens += "{" + narrow_units(PATH_TOKEN_NAMES[token]) + "}, ";
    throw PackError("the path template \"" + path_template +
                    "\" does not give an absolute path: start it with " + tokens + "or " +
                    (target == "linux" ? "\"/\"" : "a drive such as \"C:\\\""));
  }
}

// A template of the user's own is theirs to keep, but one that names neither
// a version nor a value of its own for each start gives every build of the
// application one folder, where each start rewrites the other builds' files.
void warn_of_a_shared_folder(const std::string& path_template) {
  std::u16string units;
  try {
    units = utf16_from_utf8(path_template);
  } catch (const PackError&) {
    return;  // refused later, with its own message
  }
  const std::wstring wide(units.begin(), units.end());
  if (template_names_a_folder_per_start(wide.c_str())) return;
  const wchar_t* position = wide.c_str();
  for (template_piece piece = next_template_piece(&position); piece.kind != TEMPLATE_END;
       piece = next_template_piece(&position)) {
    if (piece.kind != TEMPLATE_TOKEN) continue;
    path_token token = find_path_token(std::wstring(piece.text, piece.length).c_str());
    if (token == TOKEN_VERSION || token == TOKEN_FILE_VERSION || token == TOKEN_PRODUCT_VERSION) return;
  }
  print_warning("the path template " + in_quotes(path_template) +
                " holds no {VERSION} and no {PID}, {TIME}, {TIME_US} or {RANDOM}: every build "
                "unpacks into the same folder, and a start of one rewrites the files of another");
}

// The Windows launcher's icon, read and decoded now so that a bad one stops
// the build before anything is compressed: --icon, else the main binary's
// own, else (no name) the project's.
void choose_icon(LauncherSettings& s) {
  if (!s.icon.empty()) {
    std::error_code error;
    if (!fs::is_regular_file(s.icon, error)) throw PackError("icon not found: " + quoted_path(s.icon));
    s.icon_name = s.icon.u8string();
    s.icon_png = read_icon_file(s.icon);
  } else {
    if (s.main_sample.head().compare(0, 2, "MZ") != 0) return;
    const std::string name = "the main binary's icon (" + s.original_filename + ")";
    if (s.main_program.empty() && !s.main_source.empty()) {
      MappedFile file(s.main_source);
      s.icon_png = program_icon_png(std::string_view((const char*)file.data(), file.size()), name);
    } else {
      s.icon_png = program_icon_png(s.main_program, name);
    }
    if (s.icon_png.empty()) return;  // none: the project's
    s.icon_name = name;
  }
  make_icon_images(s.icon_png, s.icon_name);
}

}  // namespace

void complete_settings(LauncherSettings& s, const std::vector<std::u16string>& names) {
  const std::string& head = s.main_sample.head();
  const BinaryKind kind = binary_kind((const unsigned char*)head.data(), head.size());
  const std::string detected = target_of(kind, head);
  const bool target_given = !s.target.empty();
  if (!target_given) s.target = detected.empty() ? "windows" : detected;
  if (s.target != "windows" && s.target != "linux") {
    throw PackError("--target must be windows or linux, not \"" + s.target + "\"");
  }
  if (!s.subsystem.empty() && s.target != "windows") {
    throw PackError("--" + std::string(s.subsystem == "console" ? "console" : "windowed") +
                    " is for Windows launchers; a Linux launcher has no subsystem");
  }
  if (names.empty()) throw PackError("the payload holds no files");
  check_names(names, s.target);
  const std::u16string& main_name = names.front();
  std::u16string file_name = main_name.substr(main_name.find_last_of(u"\\/") + 1);
  s.original_filename = utf8_from_utf16(file_name);
  if (s.product.empty()) {
    size_t dot = file_name.find_last_of(u'.');
    std::u16string base = (dot == std::u16string::npos || dot == 0) ? file_name : file_name.substr(0, dot);
    s.product = utf8_from_utf16(base);
  }
  s.file_version_option = s.file_version.empty() ? "--version" : "--file-version";
  s.product_version_option = s.product_version.empty() ? "--version" : "--product-version";
  if (s.version.empty()) {
    // Filled in once the payload is written; this holds its length.
    s.version_from_content = true;
    s.version = "0.0.0-00000000";
    if (s.file_version.empty()) s.file_version = "0.0.0";
    if (s.product_version.empty()) s.product_version = "0.0.0";
  }
  if (s.file_version.empty()) s.file_version = s.version;
  if (s.product_version.empty()) s.product_version = s.version;
  if (s.path_template.empty()) {
    // A version is what the user calls a build, not what it holds: two
    // builds given one version, or two products of one name, must not
    // unpack over each other.  So the default folder's name carries the
    // payload's digest; without --version the version carries it already.
    s.path_template = s.target == "windows" ? WINDOWS_TEMPLATE : LINUX_TEMPLATE;
    if (!s.version_from_content) {
      s.path_template += "-" + DIGEST_PLACEHOLDER;
      s.digest_in_template = true;
    }
  }
  check_path_template(s.path_template);
  check_template_is_absolute(s.path_template, s.target);
  check_template_path(s, names);
  if (s.target == "windows") {
    four_part_version(s.file_version, s.file_version_option, s.file_version_option == "--version");
    four_part_version(s.product_version, s.product_version_option, true);
    version_record(version_values(s));
    check_windows_arguments(s.fixed_arguments);
    choose_icon(s);
  } else {
    if (!s.icon.empty()) throw PackError("--icon is for Windows launchers; a Linux launcher has no icon");
    if (!s.copyright.empty()) {
      throw PackError("--copyright goes into the Windows version record; a Linux launcher has none");
    }
    if (s.uac_admin) {
      throw PackError("--uac-admin goes into the Windows manifest; a Linux launcher has none "
                      "(start it with sudo instead)");
    }
  }
  // Every text must be expressible before the long part.
  build_area_head(0, s);
  // Last, so that every other refusal reads as before: the main binary must
  // be a program of the target.
  const std::string main_shown = shown_name(main_name, s.target);
  if (detected.empty()) {
    throw PackError("the main binary " + main_shown +
                    " is neither a Windows program (PE) nor a Linux one (ELF, or a \"#!\" script)");
  }
  if (detected != s.target) {
    throw PackError("--target " + s.target + " does not fit the main binary " + main_shown + ", a " +
                    (detected == "windows" ? "Windows program (PE)" : "Linux program"));
  }
  std::string problem = program_problem(s.main_sample, s.target);
  if (!problem.empty()) {
    throw PackError("the main binary " + main_shown + " is no program a " +
                    (s.target == "windows" ? "Windows" : "Linux") + " launcher can start: it is " + problem);
  }
  if (s.subsystem.empty()) {
    s.subsystem = kind.subsystem == SUBSYSTEM_CONSOLE ? "console" : "windows";
  }
  // The runtime image must be there before anything is compressed.
  read_runtime_image(s.runtime, s.target);
  // Last, so that a refused build says one thing.
  if (!s.digest_in_template) warn_of_a_shared_folder(s.path_template);
}

std::vector<std::string> read_build_values(const unsigned char* area, uint64_t area_size, bool on_linux) {
  auto get = [&](uint64_t at, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) value |= (uint64_t)area[at + i] << (8 * i);
    return value;
  };
  const size_t width = on_linux ? 4 : 2;
  std::vector<std::string> values;
  uint64_t at = 0;
  for (size_t v = 0; v < BUILD_VALUE_COUNT + 64; ++v) {
    // The fixed arguments follow each other from their offset on, up to an
    // empty one.
    const bool argument = v >= BUILD_FIXED_ARGUMENTS;
    if (v <= BUILD_FIXED_ARGUMENTS) at = get(48 + 8 * v, 8);
    std::u16string text;
    const bool list = v == BUILD_QUICK_START;
    for (;; at += width) {
      if (at > area_size || area_size - at < width || (!list && text.size() > 4 * PATH_CAPACITY)) {
        throw PackError("a build value runs past the end of the build area");
      }
      uint32_t unit = (uint32_t)get(at, width);
      if (unit == 0) break;
      if (unit >= 0x10000 && unit <= 0x10FFFF) {
        text.push_back((char16_t)(0xD800 + ((unit - 0x10000) >> 10)));
        text.push_back((char16_t)(0xDC00 + ((unit - 0x10000) & 0x3FF)));
      } else if (unit < 0x10000) {
        text.push_back((char16_t)unit);
      } else {
        throw PackError("a build value holds " + std::to_string(unit) + ", no Unicode character");
      }
    }
    at += width;
    if (argument && text.empty()) break;
    values.push_back(list ? (text.empty() ? "" : "on") : display_name(text));
  }
  return values;
}

void build_launcher(const unsigned char* payload, uint64_t payload_length, const LauncherSettings& s,
                    const fs::path& output) {
  const std::string runtime = read_runtime_image(s.runtime, s.target);
  const std::string head = build_area_head(payload_length, s);
  const Span area_head{reinterpret_cast<const unsigned char*>(head.data()), head.size()};
  const Span payload_span{payload, (size_t)payload_length};
  ImagePieces image;
  if (s.target == "windows") {
    WindowsResources resources = launcher_resources(s);
    image = pe_launcher(runtime, area_head, payload_span,
                        s.subsystem == "console" ? SUBSYSTEM_CONSOLE : SUBSYSTEM_WINDOWS,
                        [&](uint32_t rva) { return resource_section(resources, rva); });
  } else {
    image = elf_launcher(runtime, area_head, payload_span);
  }
  TemporaryOutput temporary(output);
  for (const Span& piece : image.pieces()) temporary.write(reinterpret_cast<const char*>(piece.data), piece.size);
  temporary.set_mode(0755);
  temporary.commit();
}

}  // namespace zovari
