// zovari-pack verify: checks a launcher or payload completely.

#include "pack/commands/commands.h"

#include <cstdio>
#include <string>
#include <vector>

#include "image/build_area.h"
#include "image/build_area_check.h"
#include "pack/commands/arguments.h"
#include "pack/commands/name_checker.h"
#include "pack/executables/binary_kind.h"
#include "pack/system/error.h"
#include "pack/executables/launcher_build.h"
#include "pack/executables/launcher_image.h"
#include "pack/payloads/names.h"
#include "pack/payloads/reader.h"
#include "pack/executables/pe_signature.h"
#include "pack/system/text.h"
#include "payload/format.h"
#include "pack/executables/payload_place.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

const char* const VERIFY_HELP =
    "usage: zovari-pack verify FILE\n"
    "\n"
    "Decodes the whole payload in FILE and checks every checksum, every name (with\n"
    "the rules of Windows names too when FILE is a Windows launcher), the end\n"
    "record, the end of the frame, the frame's seal, the padding and the trailer; for\n"
    "a launcher also its build values against their checksum, the quick-start list\n"
    "against the payload and, for Windows, the PE checksum, and it names the build\n"
    "area's layout (launchers of earlier versions are read too).  Exits\n"
    "with 0 when all is well, 1 with a line saying what is wrong otherwise.  For a\n"
    "Windows launcher it also says whether it carries a code signature (a\n"
    "certificate table); osslsigncode verify checks the signature itself.\n";

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
// its head, its values and their checksum, and the payload's place.  An
// earlier layout, which has no checksum, is read as well.  Returns the
// launcher's values, or none (value_count 0) for a payload file.
LauncherValues check_launcher_build_area(const MappedFile& file) {
  BuildAreaPlace place;
  if (!find_build_area(file.data(), file.size(), &place)) return LauncherValues();
  const unsigned char* area = file.data() + place.offset;
  build_area_verdict verdict = check_build_area(area, place.capacity, place.elf ? 4 : 2, true);
  if (verdict.state != BUILD_AREA_SOUND) throw PackError(std::string(verdict.problem));
  return read_build_values(area, place.capacity, place.elf);
}

// The quick-start list of a launcher of the current layout against the one
// its payload gives: a changed size or name would make every start miss the
// stamp, or look at the wrong files.
void check_quick_start_list(const MappedFile& file, const PayloadLocation& location, const LauncherValues& values) {
  if (values.value_count != BUILD_LAYOUT_CURRENT || values.quick_start.empty()) return;
  LauncherSettings settings;
  settings.quick_start = true;
  set_quick_start_list(settings, file.data() + location.offset, location.length);
  if (std::u16string(settings.quick_start_list.begin(), settings.quick_start_list.end()) != values.quick_start) {
    throw PackError("the quick-start list is damaged: it does not match the payload's files");
  }
}

// A PE launcher's checksum field against the file: the tool writes it, and
// any damaged byte of the file outside the payload (headers, resources)
// changes the sum.  A field of 0 was never filled in and says nothing.
void check_pe_checksum(const MappedFile& file) {
  const unsigned char* data = file.data();
  const uint64_t size = file.size();
  if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') return;
  const uint64_t header = read_little_endian(data + 0x3c, 4);
  if (header + 24 + 68 > size) return;
  const uint64_t at = header + 24 + 64;
  const uint32_t stored = (uint32_t)read_little_endian(data + at, 4);
  if (stored == 0) return;
  const Span pieces[] = {{data, (size_t)at}, {(const unsigned char*)"\0\0\0\0", 4},
                         {data + at + 4, (size_t)(size - at - 4)}};
  const uint32_t computed = pe_checksum(std::vector<Span>(pieces, pieces + 3));
  if (computed != stored) {
    char text[96];
    std::snprintf(text, sizeof text, "the PE checksum does not match (the header says %08x, the file gives %08x)",
                  (unsigned)stored, (unsigned)computed);
    throw PackError(std::string(text) + ": the file is damaged outside its payload");
  }
}

}  // namespace

int command_verify(const std::vector<std::string>& rest) {
  Arguments args("verify", rest, {}, 1);
  if (args.help()) return std::fputs(VERIFY_HELP, stdout), 0;
  MappedFile file(fs::u8path(args.positional()[0]));
  PayloadLocation location = find_payload(file.data(), file.size());
  const LauncherValues values = check_launcher_build_area(file);
  // A Windows launcher gets the rules of Windows names too.
  FileKind kind = file_kind(file.data(), file.size());
  bool windows = kind.target == "windows" || (file.size() >= 2 && file.data()[0] == 'M' && file.data()[1] == 'Z');
  NameChecker names(windows);
  ReadSummary summary = read_payload(file.data(), location, names, true);
  if (summary.records == 0) throw PackError("the payload holds no files");
  names.check_set();
  check_quick_start_list(file, location, values);
  // Last: damage inside the payload changes the sum too, and is named above.
  check_pe_checksum(file);
  std::string signature = signature_text(file, location);
  const std::string layout = values.value_count == 0 ? "" : ", build area of " + build_layout_name(values.value_count);
  std::printf("ok: %s, %llu files, %llu bytes, payload of %llu bytes at offset %llu%s%s%s\n",
              kind.describe().c_str(), (unsigned long long)summary.records, (unsigned long long)summary.bytes,
              (unsigned long long)location.length, (unsigned long long)location.offset,
              summary.sealed ? ", frame seal intact" : ", no frame seal", layout.c_str(), signature.c_str());
  return 0;
}

}  // namespace zovari
