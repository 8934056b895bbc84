// zovari-pack launcher: builds a launcher from a payload file written earlier.

#include "pack/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "pack/arguments.h"
#include "pack/binary_kind.h"
#include "pack/cleanup.h"
#include "pack/command_options.h"
#include "pack/launcher_build.h"
#include "pack/payload_reader.h"
#include "pack/toolchain.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

std::string launcher_help() {
  return std::string(
             "usage: zovari-pack launcher --payload FILE --output FILE [options]\n"
             "\n"
             "Builds a launcher from a payload file that any tool following the container\n"
             "format wrote; the payload is copied to a private folder and that copy is\n"
             "checked completely, names included, and linked.\n"
             "\n"
             "  --payload FILE        the payload\n"
             "  --output FILE         the launcher to write\n") +
         launcher_options_help();
}

// Every name of a payload, in order, for `launcher`.
// The main binary's first bytes too, which say what it is.
class NameCollector : public RecordVisitor {
 public:
  void begin_record(const RecordInfo& record) override { names.push_back(record.name); }
  void record_data(const char* data, size_t size) override {
    if (names.size() == 1 && head.size() < kBinaryHeadBytes) {
      head.append(data, std::min(size, kBinaryHeadBytes - head.size()));
    }
  }
  std::vector<std::u16string> names;
  std::string head;
};

// A copy of the file at source as a new file at copy, which nobody else can
// change: what gets checked is then what gets linked.
void copy_privately(const fs::path& source, const fs::path& copy) {
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) throw PackError("cannot open \"" + source.string() + "\": " + std::strerror(errno));
  struct stat info;
  if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(in);
    throw PackError("not a regular file: \"" + source.string() + "\"");
  }
  int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  std::vector<char> buffer(1 << 20);
  std::string problem = out < 0 ? "cannot create " + copy.string() : std::string();
  while (problem.empty()) {
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) problem = "cannot read \"" + source.string() + "\"";
    if (got <= 0) break;
    for (ssize_t done = 0; done < got && problem.empty();) {
      ssize_t wrote = ::write(out, buffer.data() + done, (size_t)(got - done));
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) problem = "cannot write " + copy.string();
      done += wrote > 0 ? wrote : 0;
    }
  }
  int error = errno;
  ::close(in);
  if (out >= 0 && ::close(out) != 0 && problem.empty()) problem = "cannot write " + copy.string();
  if (!problem.empty()) throw PackError(problem + ": " + std::strerror(error));
}

}  // namespace

int command_launcher(const std::vector<std::string>& rest) {
  std::vector<OptionDefinition> options = LAUNCHER_OPTIONS;
  options.push_back({"payload", true});
  Arguments args("launcher", rest, options, 0);
  if (args.help()) return std::fputs(launcher_help().c_str(), stdout), 0;
  fs::path payload = args.required("payload");
  fs::path output = args.required("output");
  LauncherSettings settings = launcher_settings(args);
  TemporaryFolder work;
  fs::path copy = work.path() / WORK_PAYLOAD_NAME;
  copy_privately(payload, copy);
  uint64_t length = 0;
  NameCollector names;
  {
    MappedFile file(copy);
    if (file.size() < 3 || file.data()[0] != 'Q' || file.data()[1] != 'D' || file.data()[2] != 'Y') {
      throw PackError("not a payload file (it does not start with \"QDY\"): " + payload.string());
    }
    PayloadLocation location = find_payload(file.data(), file.size());
    try {
      read_payload(file.data(), location, names, true);
    } catch (const PackError& error) {
      throw PackError("the payload is damaged: " + std::string(error.what()));
    }
    length = location.length;
  }
  settings.main_head = names.head;
  complete_settings(settings, names.names);
  set_content_version(settings, copy);
  build_launcher(work.path(), length, settings, output);
  return 0;
}

}  // namespace zovari
