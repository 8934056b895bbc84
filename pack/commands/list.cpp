// zovari-pack list: lists the files of a launcher or payload.

#include "pack/commands/commands.h"

#include <cstdio>
#include <string>
#include <vector>

#include "image/build_area.h"
#include "image/config.h"
#include "pack/commands/arguments.h"
#include "pack/commands/name_checker.h"
#include "pack/executables/binary_kind.h"
#include "pack/executables/icon.h"
#include "pack/executables/resources.h"
#include "pack/system/text.h"
#include "pack/executables/launcher_build.h"
#include "pack/executables/launcher_image.h"
#include "pack/payloads/names.h"
#include "pack/payloads/reader.h"
#include "pack/executables/payload_place.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

const char* const LIST_HELP =
    "usage: zovari-pack list [--json] FILE\n"
    "\n"
    "A heading of lines that start with \"#\": what FILE is (a payload file, or a\n"
    "launcher: its target and, for Windows, its subsystem); for a launcher its\n"
    "build area's layout (launchers of earlier versions are read too), its\n"
    "template, product, version, for Windows the execution level its manifest\n"
    "asks for (asInvoker, or requireAdministrator after --uac-admin) and the\n"
    "fixed arguments; then the main binary.\n"
    "Then one line per file of the payload: its size, its checksum as 8 hex\n"
    "digits and its name with the target's separator (\"\\\" for a payload file),\n"
    "invisible and control characters shown as \\xNN or \\uNNNN.\n"
    "  --json   the same as one JSON object (names with every character beyond\n"
    "           ASCII as \\uXXXX)\n"
    "Exits with 1, and writes nothing, when the payload is damaged or holds a name\n"
    "that verify refuses (\"..\", an absolute name, a name twice).\n";

// The lines of `list`: the main binary named in the heading (a file may
// really be called "x (main)"), then "size checksum name" for each file,
// each name judged first as verify judges it.  Kept until the payload is
// read whole, so that a damaged one gives no output at all.
class Lister : public NameChecker {
 public:
  Lister(char16_t separator, bool windows) : NameChecker(windows), separator_(separator) {}
  void begin_record(const RecordInfo& record) override {
    NameChecker::begin_record(record);
    const std::u16string name = with_separator(record.name, separator_);
    if (first_) main = "# main: " + display_name(name) + "\n";
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, "%llu %08x ", (unsigned long long)record.size, record.checksum);
    files += numbers + display_name(name) + "\n";
    first_ = false;
  }
  std::string main, files;

 private:
  char16_t separator_;
  bool first_ = true;
};

// A JSON string of UTF-16 units: everything beyond printable ASCII as
// \uXXXX, so that any name, even one that is not valid UTF-16, comes through.
std::string json_string(const std::u16string& units) {
  std::string out = "\"";
  for (char16_t unit : units) {
    if (unit == u'"' || unit == u'\\') {
      out += '\\';
      out += (char)unit;
    } else if (unit >= 0x20 && unit < 0x7F) {
      out += (char)unit;
    } else {
      char text[8];
      std::snprintf(text, sizeof text, "\\u%04x", (unsigned)unit);
      out += text;
    }
  }
  return out + "\"";
}

std::string json_string(const std::string& utf8) {
  return json_string(utf16_from_utf8(utf8));
}

// The records for `list --json`, kept until the payload is read whole.
class JsonLister : public NameChecker {
 public:
  JsonLister(char16_t separator, bool windows) : NameChecker(windows), separator_(separator) {}
  void begin_record(const RecordInfo& record) override {
    NameChecker::begin_record(record);
    const std::u16string name = with_separator(record.name, separator_);
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, ", \"size\": %llu, \"checksum\": \"%08x\"}",
                  (unsigned long long)record.size, record.checksum);
    if (main.empty()) main = json_string(name);
    files += std::string(files.empty() ? "\n    " : ",\n    ") + "{\"name\": " + json_string(name) + numbers;
  }
  std::string main, files;

 private:
  char16_t separator_;
};

// Whether the build values' options name the option.
bool has_option(const LauncherValues& values, const wchar_t* option) {
  std::string name;
  for (const wchar_t* c = option; *c != 0; ++c) name += (char)*c;
  const std::string words = " " + values.values[BUILD_OPTIONS] + " ";
  return words.find(" " + name + " ") != std::string::npos;
}

// The whole listing as one JSON object, written once the payload has been
// read whole, so that a damaged one gives no output at all.
void print_json_listing(const FileKind& kind, const LauncherValues& values,
                        const std::string& level, const JsonLister& lister) {
  std::string out = "{\n  \"kind\": " + json_string(kind.target.empty() ? "payload" : "launcher");
  if (!kind.target.empty()) out += ",\n  \"target\": " + json_string(kind.target);
  if (kind.target == "windows") out += ",\n  \"subsystem\": " + json_string(subsystem_name(kind.subsystem));
  if (values.value_count != 0) {
    out += ",\n  \"build_area\": {\"values\": " + std::to_string(values.value_count) +
           ", \"layout\": " + json_string(build_layout_name(values.value_count)) + "}" +
           ",\n  \"template\": " + json_string(values.values[BUILD_TEMPLATE]) +
           ",\n  \"product\": " + json_string(values.values[BUILD_PRODUCT]) +
           ",\n  \"version\": " + json_string(values.values[BUILD_VERSION]) +
           ",\n  \"quick_start\": " + (values.values[BUILD_QUICK_START].empty() ? "false" : "true") +
           ",\n  \"clean_cache\": " + (has_option(values, BUILD_OPTION_CLEAN_CACHE) ? "true" : "false") +
           ",\n  \"pass_interrupts\": " + (has_option(values, BUILD_OPTION_PASS_INTERRUPTS) ? "true" : "false");
    if (!level.empty()) out += ",\n  \"execution_level\": " + json_string(level);
    out += ",\n  \"arguments\": [";
    for (size_t i = 0; i < values.arguments.size(); ++i) {
      out += (i == 0 ? "" : ", ") + json_string(values.arguments[i]);
    }
    out += "]";
  }
  out += ",\n  \"main\": " + lister.main + ",\n  \"files\": [" + lister.files + "\n  ]\n}\n";
  std::fputs(out.c_str(), stdout);
}

}  // namespace

int command_list(const std::vector<std::string>& rest) {
  Arguments args("list", rest, {{"json", false}}, 1);
  if (args.help()) return std::fputs(LIST_HELP, stdout), 0;
  MappedFile file(fs::u8path(args.positional()[0]));
  PayloadLocation location = find_payload(file.data(), file.size());
  FileKind kind = file_kind(file.data(), file.size());
  // A launcher holds its build values in its build area, beside the payload.
  LauncherValues values;
  BuildAreaPlace area;
  if (find_build_area(file.data(), file.size(), &area)) {
    values = read_build_values(file.data() + area.offset, area.capacity, area.elf);
  }
  // A Windows launcher's manifest says whether it asks for elevation.
  std::string level;
  if (kind.target == "windows") {
    const uint32_t manifest = 24;
    level = manifest_execution_level(
        std::string(program_resource(std::string_view((const char*)file.data(), file.size()), manifest, 1)));
  }
  const char16_t separator = kind.target == "linux" ? u'/' : u'\\';
  // Names are judged as verify judges them, with the Windows rules for
  // anything a Windows launcher would unpack.
  const bool windows = kind.target == "windows" || (file.size() >= 2 && file.data()[0] == 'M' && file.data()[1] == 'Z');
  if (args.has("json")) {
    JsonLister lister(separator, windows);
    // Every checksum is compared: a damaged payload is an error, not a listing.
    read_payload(file.data(), location, lister, true);
    lister.check_set();
    print_json_listing(kind, values, level, lister);
    return 0;
  }
  Lister lister(separator, windows);
  read_payload(file.data(), location, lister, true);
  lister.check_set();
  std::string out = "# " + kind.describe() + "\n";
  if (values.value_count != 0) {
    out += "# build area: " + build_layout_name(values.value_count) + "\n";
    out += "# template: " + values.values[BUILD_TEMPLATE] + "\n# product: " + values.values[BUILD_PRODUCT] +
           "\n# version: " + values.values[BUILD_VERSION] + "\n";
    if (!level.empty()) out += "# execution level: " + level + "\n";
    if (!values.values[BUILD_QUICK_START].empty()) out += "# quick start: on\n";
    if (has_option(values, BUILD_OPTION_CLEAN_CACHE)) out += "# clean cache: on\n";
    if (has_option(values, BUILD_OPTION_PASS_INTERRUPTS)) out += "# pass interrupts: on\n";
    for (const std::string& argument : values.arguments) out += "# argument: " + argument + "\n";
  }
  out += lister.main + lister.files;
  std::fputs(out.c_str(), stdout);
  return 0;
}

}  // namespace zovari
