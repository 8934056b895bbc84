// zovari-pack extract: writes the files of a launcher or payload into a folder.

#include "pack/commands/commands.h"

#include <cstdio>
#include <filesystem>

#include "image/build_area.h"
#include "pack/commands/arguments.h"
#include "pack/executables/binary_kind.h"
#include "pack/system/error.h"
#include "pack/system/text.h"
#include "pack/payloads/extractor.h"
#include "pack/payloads/names.h"
#include "pack/payloads/reader.h"
#include "pack/executables/launcher_build.h"
#include "pack/executables/launcher_image.h"
#include "pack/executables/payload_place.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

const char* const EXTRACT_HELP =
    "usage: zovari-pack extract FILE DIR\n"
    "\n"
    "Writes the files of the payload in FILE under DIR (created when missing).\n"
    "A payload whose names verify refuses together (a name twice, a name that is a\n"
    "file and a folder) is refused before anything is written.\n"
    "Names that would leave DIR are refused (\"\\\" and \"/\" both separate), and so is\n"
    "a file whose place or folder under DIR is a symbolic link: nothing is ever\n"
    "written through one.  Each file is written beside its place and moved\n"
    "into it when complete; a file already in its place is kept, and refused.\n"
    "On Windows every name must meet Windows' rules, whatever system the payload\n"
    "was made for (no \":\", no device names, no dot or space at the end of a\n"
    "part, no two names that Windows takes for one file).\n";

// The names of a payload's records, read without their data.
class NameCollector : public RecordVisitor {
 public:
  void begin_record(const RecordInfo& record) override { names.push_back(record.name); }
  std::vector<std::u16string> names;
};

}  // namespace

std::vector<std::u16string> extraction_components(const std::u16string& name) {
  NameProblem problem = name_problem(name, extraction_takes_windows_rules());
  if (problem) throw PackError("refusing the name \"" + display_name(name) + "\": it " + problem.text);
  return name_components(name);
}

int command_extract(const std::vector<std::string>& rest) {
  Arguments args("extract", rest, {}, 2);
  if (args.help()) return std::fputs(EXTRACT_HELP, stdout), 0;
  MappedFile file(fs::u8path(args.positional()[0]));
  PayloadLocation location = find_payload(file.data(), file.size());
  // A launcher of an earlier version is read as well, and said to be one.
  BuildAreaPlace area;
  if (find_build_area(file.data(), file.size(), &area) &&
      read_little_endian(file.data() + area.offset + 40, 8) != BUILD_VALUE_COUNT) {
    std::fprintf(stderr, "zovari-pack: %s: its build area has %s\n", quoted_path(fs::u8path(args.positional()[0])).c_str(),
                 build_layout_name(read_little_endian(file.data() + area.offset + 40, 8)).c_str());
  }
  // Names taken together first, by verify's rules, before anything is
  // written: a name twice would leave its last copy alone in place.
  NameCollector collector;
  read_payload(file.data(), location, collector, false);
  const FileKind kind = file_kind(file.data(), file.size());
  const bool windows = kind.target == "windows" || extraction_takes_windows_rules();
  std::string problem = name_set_problem(collector.names, windows);
  if (!problem.empty()) throw PackError("the payload " + problem);
  for (const std::u16string& name : collector.names) {
    NameProblem wrong = name_problem(name, windows);
    if (wrong) throw PackError("refusing the name \"" + display_name(name) + "\": it " + wrong.text);
  }
  fs::path root = fs::u8path(args.positional()[1]);
  std::error_code error;
  fs::create_directories(root, error);
  if (error) throw PackError("cannot create folder " + quoted_path(root) + ": " + error.message());
  std::unique_ptr<RecordVisitor> extractor = make_extractor(root);
  read_payload(file.data(), location, *extractor, true);
  return 0;
}

}  // namespace zovari
