// zovari-pack verify: checks a launcher or payload completely.

#include "pack/commands/commands.h"

#include <cstdio>
#include <string>

#include "image/build_area.h"
#include "image/build_area_check.h"
#include "pack/commands/arguments.h"
#include "pack/executables/binary_kind.h"
#include "pack/system/error.h"
#include "pack/executables/launcher_build.h"
#include "pack/executables/launcher_image.h"
#include "pack/payloads/names.h"
#include "pack/payloads/reader.h"
#include "pack/executables/pe_signature.h"
#include "pack/system/text.h"
#include "paths/template.h"
#include "pack/executables/payload_place.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

const char* const VERIFY_HELP =
    "usage: zovari-pack verify FILE\n"
    "\n"
    "Decodes the whole payload in FILE and checks every checksum, every name (with\n"
    "the rules of Windows names too when FILE is a Windows launcher), the end\n"
    "record, the end of the frame, the frame's seal, the padding and the trailer.  Exits\n"
    "with 0 when all is well, 1 with a line saying what is wrong otherwise.  For a\n"
    "Windows launcher it also says whether it carries a code signature (a\n"
    "certificate table); osslsigncode verify checks the signature itself.\n";

// Checks every name as `launcher` does, with the Windows rules for a
// Windows launcher, for verify; then the names together (check_set).
class NameChecker : public RecordVisitor {
 public:
  explicit NameChecker(bool windows) : windows_(windows) {}
  void begin_record(const RecordInfo& record) override {
    NameProblem problem = name_problem(record.name, windows_);
    if (problem) {
      throw PackError("the record name \"" + display_name(record.name) + "\" " + problem.text +
                      (problem.windows_only ? ", which a Windows launcher cannot unpack"
                                            : problem.too_long ? "" : ", which the container format forbids"));
    }
    names_.push_back(record.name);
  }
  void check_set() const {
    std::string problem = name_set_problem(names_, windows_);
    if (!problem.empty()) throw PackError("the payload " + problem);
  }

 private:
  bool windows_;
  std::vector<std::u16string> names_;
};

// What verify says of a Windows launcher's code signature; empty for other files.
std::string signature_text(const MappedFile& file, const PayloadLocation& location) {
  CertificateTable table = read_certificate_table(file.data(), file.size(), location.offset,
                                                  location.offset + location.length);
  if (!table.pe) return std::string();
  if (table.size == 0) return ", not signed";
  return ", signed (certificate table of " + std::to_string(table.size) + " bytes at offset " +
         std::to_string(table.offset) + ")";
}

// A launcher's build area as the launcher looks at it before it starts:
// its head, its values and the payload's place, and a template that gives an
// absolute path.
void check_launcher_build_area(const MappedFile& file) {
  BuildAreaPlace place;
  if (!find_build_area(file.data(), file.size(), &place)) return;
  const unsigned char* area = file.data() + place.offset;
  build_area_verdict verdict = check_build_area(area, place.capacity, place.elf ? 4 : 2);
  if (verdict.state != BUILD_AREA_SOUND) throw PackError(std::string(verdict.problem));
  const std::string path_template = read_build_values(area, place.capacity, place.elf)[BUILD_TEMPLATE];
  const std::u16string units = utf16_from_utf8(path_template);
  if (!template_gives_absolute_path(std::wstring(units.begin(), units.end()).c_str(), !place.elf)) {
    throw PackError("the path template \"" + path_template +
                    "\" does not give an absolute path: the launcher would refuse to start");
  }
}

}  // namespace

int command_verify(const std::vector<std::string>& rest) {
  Arguments args("verify", rest, {}, 1);
  if (args.help()) return std::fputs(VERIFY_HELP, stdout), 0;
  MappedFile file(fs::u8path(args.positional()[0]));
  PayloadLocation location = find_payload(file.data(), file.size());
  check_launcher_build_area(file);
  // A Windows launcher gets the rules of Windows names too.
  FileKind kind = file_kind(file.data(), file.size());
  bool windows = kind.target == "windows" || (file.size() >= 2 && file.data()[0] == 'M' && file.data()[1] == 'Z');
  NameChecker names(windows);
  ReadSummary summary = read_payload(file.data(), location, names, true);
  if (summary.records == 0) throw PackError("the payload holds no files");
  names.check_set();
  std::string signature = signature_text(file, location);
  std::printf("ok: %s, %llu files, %llu bytes, payload of %llu bytes at offset %llu%s%s\n",
              kind.describe().c_str(), (unsigned long long)summary.records, (unsigned long long)summary.bytes,
              (unsigned long long)location.length, (unsigned long long)location.offset,
              summary.sealed ? ", frame seal intact" : ", no frame seal", signature.c_str());
  return 0;
}

}  // namespace zovari
