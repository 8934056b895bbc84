// zovari-pack list: lists the files of a launcher or payload.

#include "pack/commands.h"

#include <cstdio>

#include "image/build_area.h"
#include "pack/arguments.h"
#include "pack/binary_kind.h"
#include "pack/launcher_build.h"
#include "pack/launcher_image.h"
#include "pack/names.h"
#include "pack/payload_reader.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

const char* const LIST_HELP =
    "usage: zovari-pack list FILE\n"
    "\n"
    "For a launcher, first what it is: its target and, for Windows, its subsystem;\n"
    "then its template, product and version.\n"
    "Then one line per file of the payload in FILE (a payload, or a launcher of\n"
    "either target): its size, its checksum as 8 hex digits, its name with the\n"
    "target's separator (\"\\\" for a payload file), the main binary marked \"(main)\".\n"
    "Exits with 1 when the payload is damaged.\n";

class Lister : public RecordVisitor {
 public:
  explicit Lister(char16_t separator) : separator_(separator) {}
  void begin_record(const RecordInfo& record) override {
    std::u16string name = record.name;
    for (char16_t& unit : name) unit = unit == u'\\' ? separator_ : unit;
    std::printf("%llu %08x %s%s\n", (unsigned long long)record.size, record.checksum,
                display_name(name).c_str(), first_ ? " (main)" : "");
    first_ = false;
  }

 private:
  char16_t separator_;
  bool first_ = true;
};

}  // namespace

int command_list(const std::vector<std::string>& rest) {
  Arguments args("list", rest, {}, 1);
  if (args.help()) return std::fputs(LIST_HELP, stdout), 0;
  MappedFile file(fs::u8path(args.positional()[0]));
  PayloadLocation location = find_payload(file.data(), file.size());
  FileKind kind = file_kind(file.data(), file.size());
  std::printf("# %s\n", kind.describe().c_str());
  // A launcher holds its build values in its build area, beside the payload.
  BuildAreaPlace area;
  if (find_build_area(file.data(), file.size(), &area)) {
    std::vector<std::string> values = read_build_values(file.data() + area.offset, area.capacity, area.elf);
    std::printf("# template: %s\n# product: %s\n# version: %s\n", values[BUILD_TEMPLATE].c_str(),
                values[BUILD_PRODUCT].c_str(), values[BUILD_VERSION].c_str());
  }
  Lister lister(kind.target == "linux" ? u'/' : u'\\');
  // Every checksum is compared: a damaged payload is an error, not a listing.
  read_payload(file.data(), location, lister, true);
  return 0;
}

}  // namespace zovari
