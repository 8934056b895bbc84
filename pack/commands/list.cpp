// zovari-pack list: lists the files of a launcher or payload.

#include "pack/commands/commands.h"

#include <cstdio>
#include <string>
#include <vector>

#include "image/build_area.h"
#include "image/config.h"
#include "pack/commands/arguments.h"
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
    "template, product, version, for Windows the execution level its manifest\n"
    "asks for (asInvoker, or requireAdministrator after --uac-admin) and the\n"
    "fixed arguments; then the main binary.\n"
    "Then one line per file of the payload: its size, its checksum as 8 hex\n"
    "digits and its name with the target's separator (\"\\\" for a payload file),\n"
    "invisible and control characters shown as \\xNN or \\uNNNN.\n"
    "  --json   the same as one JSON object (names with every character beyond\n"
    "           ASCII as \\uXXXX)\n"
    "Exits with 1, and writes nothing, when the payload is damaged.\n";

// The lines of `list`: the main binary named in the heading (a file may
// really be called "x (main)"), then "size checksum name" for each file.
class Lister : public RecordVisitor {
 public:
  explicit Lister(char16_t separator) : separator_(separator) {}
  void begin_record(const RecordInfo& record) override {
    const std::u16string name = with_separator(record.name, separator_);
    if (first_) std::printf("# main: %s\n", display_name(name).c_str());
    std::printf("%llu %08x %s\n", (unsigned long long)record.size, record.checksum,
                display_name(name).c_str());
    first_ = false;
  }

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
class JsonLister : public RecordVisitor {
 public:
  explicit JsonLister(char16_t separator) : separator_(separator) {}
  void begin_record(const RecordInfo& record) override {
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
bool has_option(const std::vector<std::string>& values, const wchar_t* option) {
  std::string name;
  for (const wchar_t* c = option; *c != 0; ++c) name += (char)*c;
  const std::string words = " " + values[BUILD_OPTIONS] + " ";
  return words.find(" " + name + " ") != std::string::npos;
}

// The whole listing as one JSON object, written once the payload has been
// read whole, so that a damaged one gives no output at all.
void print_json_listing(const FileKind& kind, const std::vector<std::string>& values,
                        const std::string& level, const JsonLister& lister) {
  std::string out = "{\n  \"kind\": " + json_string(kind.target.empty() ? "payload" : "launcher");
  if (!kind.target.empty()) out += ",\n  \"target\": " + json_string(kind.target);
  if (kind.target == "windows") out += ",\n  \"subsystem\": " + json_string(subsystem_name(kind.subsystem));
  if (!values.empty()) {
    out += ",\n  \"template\": " + json_string(values[BUILD_TEMPLATE]) +
           ",\n  \"product\": " + json_string(values[BUILD_PRODUCT]) +
           ",\n  \"version\": " + json_string(values[BUILD_VERSION]) +
           ",\n  \"quick_start\": " + (values[BUILD_QUICK_START].empty() ? "false" : "true") +
           ",\n  \"clean_cache\": " + (has_option(values, BUILD_OPTION_CLEAN_CACHE) ? "true" : "false") +
           ",\n  \"pass_interrupts\": " + (has_option(values, BUILD_OPTION_PASS_INTERRUPTS) ? "true" : "false");
    if (!level.empty()) out += ",\n  \"execution_level\": " + json_string(level);
    out += ",\n  \"arguments\": [";
    for (size_t i = BUILD_FIXED_ARGUMENTS; i < values.size(); ++i) {
      out += (i == BUILD_FIXED_ARGUMENTS ? "" : ", ") + json_string(values[i]);
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
  std::vector<std::string> values;
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
  if (args.has("json")) {
    JsonLister lister(separator);
    // Every checksum is compared: a damaged payload is an error, not a listing.
    read_payload(file.data(), location, lister, true);
    print_json_listing(kind, values, level, lister);
    return 0;
  }
  std::printf("# %s\n", kind.describe().c_str());
  if (!values.empty()) {
    std::printf("# template: %s\n# product: %s\n# version: %s\n", values[BUILD_TEMPLATE].c_str(),
                values[BUILD_PRODUCT].c_str(), values[BUILD_VERSION].c_str());
    if (!level.empty()) std::printf("# execution level: %s\n", level.c_str());
    if (!values[BUILD_QUICK_START].empty()) std::printf("# quick start: on\n");
    if (has_option(values, BUILD_OPTION_CLEAN_CACHE)) std::printf("# clean cache: on\n");
    if (has_option(values, BUILD_OPTION_PASS_INTERRUPTS)) std::printf("# pass interrupts: on\n");
    for (size_t i = BUILD_FIXED_ARGUMENTS; i < values.size(); ++i) {
      std::printf("# argument: %s\n", values[i].c_str());
    }
  }
  Lister lister(separator);
  read_payload(file.data(), location, lister, true);
  return 0;
}

}  // namespace zovari
