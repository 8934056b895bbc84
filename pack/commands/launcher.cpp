// zovari-pack launcher: builds a launcher from a payload file written earlier.

#include "pack/commands/commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "pack/commands/arguments.h"
#include "pack/executables/binary_kind.h"
#include "pack/system/error.h"
#include "pack/system/text.h"
#include "pack/commands/options.h"
#include "pack/system/temporary_output.h"
#include "pack/system/text.h"
#include "pack/executables/launcher_build.h"
#include "pack/executables/payload_place.h"
#include "pack/payloads/reader.h"
#include "pack/system/system.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

std::string launcher_help() {
  return std::string(
             "usage: zovari-pack launcher --payload FILE --output FILE [options]\n"
             "\n"
             "Builds a launcher from a payload file that any tool following the container\n"
             "format wrote; the payload is read once into the tool's memory, and that\n"
             "copy is checked completely, names included, and written into the launcher.\n"
             "\n"
             "  --payload FILE        the payload\n"
             "  --output FILE         the launcher to write\n") +
         launcher_options_help();
}

// Every name of a payload, in order, for `launcher`.
// The main binary's sample too, which says what it is.
class NameCollector : public RecordVisitor {
 public:
  void begin_record(const RecordInfo& record) override { names.push_back(record.name); }
  void record_data(const char* data, size_t size) override {
    if (names.size() == 1) sample.add(data, size);
    // A Windows program whole: its icon is the launcher's unless --icon says otherwise.
    if (names.size() == 1 && sample.head().compare(0, 2, "MZ") == 0) program.append(data, size);
  }
  std::vector<std::u16string> names;
  ProgramSample sample;
  std::string program;
};

// The whole file at source, read once into memory: what gets checked is then
// what goes into the launcher, whatever happens to the file meanwhile.
std::string read_privately(const fs::path& source) {
  SystemProblem problem;
  FileId file = open_for_reading(source, &problem);
  if (file == NO_FILE) throw PackError("cannot open " + quoted_path(source) + ": " + problem.text);
  long long size = regular_file_size(file, &problem);
  std::string bytes(size > 0 ? (size_t)size : 0, '\0');
  size_t done = 0;
  for (long long got = size < 0 ? -1 : 1; got > 0; done += (size_t)got) {
    if (done == bytes.size()) bytes.resize(done + (1 << 20));
    got = read_file(file, &bytes[done], bytes.size() - done, &problem);
    if (got <= 0) break;
  }
  SystemProblem ignored;
  close_file(file, &ignored);
  if (size < 0) throw PackError("not a regular file: " + quoted_path(source));
  if (!problem.text.empty()) throw PackError("cannot read " + quoted_path(source) + ": " + problem.text);
  bytes.resize(done);
  return bytes;
}

}  // namespace

int command_launcher(const std::vector<std::string>& rest) {
  std::vector<OptionDefinition> options = LAUNCHER_OPTIONS;
  options.push_back({"payload", true});
  Arguments args("launcher", rest, options, 0);
  if (args.help()) return std::fputs(launcher_help().c_str(), stdout), 0;
  fs::path payload = fs::u8path(args.required("payload"));
  fs::path output = fs::u8path(args.required("output"));
  LauncherSettings settings = launcher_settings(args);
  const std::string copy = read_privately(payload);
  const unsigned char* data = reinterpret_cast<const unsigned char*>(copy.data());
  if (copy.size() < PAYLOAD_MAGIC_SIZE || std::memcmp(data, PAYLOAD_MAGIC, PAYLOAD_MAGIC_SIZE) != 0) {
    const std::string magic(reinterpret_cast<const char*>(PAYLOAD_MAGIC), PAYLOAD_MAGIC_SIZE);
    throw PackError("not a payload file (it does not start with \"" + magic + "\"): " + payload.u8string());
  }
  NameCollector names;
  PayloadLocation location = find_payload(data, copy.size());
  try {
    read_payload(data, location, names, true);
  } catch (const PackError& error) {
    throw PackError("the payload is damaged: " + std::string(error.what()));
  }
  settings.main_sample = names.sample;
  settings.main_program = names.program;
  complete_settings(settings, names.names);
  prepare_output(output);
  set_content_digest(settings, data, copy.size());
  set_quick_start_list(settings, data, location.length);
  build_launcher(data, location.length, settings, output);
  return 0;
}

}  // namespace zovari
