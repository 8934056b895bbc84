// zovari-pack: packs an application folder into a payload and builds the
// single-file launcher that unpacks and starts it; lists, extracts and
// verifies payloads and launchers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fnmatch.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "pack/arguments.h"
#include "pack/binary_kind.h"
#include "pack/cleanup.h"
#include "pack/exclude.h"
#include "pack/launcher_build.h"
#include "pack/names.h"
#include "pack/payload_reader.h"
#include "pack/pe_signature.h"
#include "pack/payload_writer.h"
#include "pack/python_cache.h"
#include "pack/toolchain.h"

namespace fs = std::filesystem;
using namespace zovari;

namespace {

const char* const MAIN_HELP =
    "usage: zovari-pack COMMAND [options]\n"
    "\n"
    "Packs an application folder into a single-file launcher that unpacks it into\n"
    "a cache folder and starts its main binary.\n"
    "\n"
    "commands:\n"
    "  payload   pack a folder into a payload file\n"
    "  build     pack a folder and build a launcher for it\n"
    "  launcher  build a launcher from a payload file written earlier\n"
    "  list      list the files of a launcher or payload\n"
    "  extract   write the files of a launcher or payload into a folder\n"
    "  verify    check a launcher or payload completely\n"
    "\n"
    "Run 'zovari-pack COMMAND --help' for a command's options, 'zovari-pack --version'\n"
    "for the version and where the launcher runtimes are.  \"--\" ends the options.\n"
    "Exit codes: 0 done, 1 failed, 2 usage error.\n";

const char* const PAYLOAD_HELP =
    "usage: zovari-pack payload --input DIR --main RELPATH --output FILE [options]\n"
    "\n"
    "Packs every file under DIR into a payload: the main binary RELPATH (relative\n"
    "to DIR) first, then the others sorted by name.  A link to a file is packed as\n"
    "a copy of the file it points at; a link to a folder and a dangling link stop\n"
    "the build unless an --exclude names them (excluded means not looked at).\n"
    "\n"
    "  --input DIR      the application folder\n"
    "  --main RELPATH   the program the launcher starts, relative to DIR\n"
    "  --output FILE    the payload file to write (replaced only when complete)\n"
    "  --level N        zstd compression level, 1 to 22 (default 19: smallest, and\n"
    "                   slow: minutes for a few hundred MiB; 3 takes seconds, for\n"
    "                   development builds)\n"
    "  --jobs N         compression threads (default: one per core); the payload's\n"
    "                   bytes are the same for any N\n"
    "  --exclude PATTERN  leave out matching files and folders (see build --help);\n"
    "                   repeatable\n"
    "  -q, --quiet      no progress\n"
    "  -v, --verbose    list each file packed\n"
    "An output inside DIR is left out of the packed files.\n";

std::string launcher_options_help() {
  return "  --target T            windows or linux; default: the main binary's format\n"
         "                        (PE: windows, ELF: linux), which T must fit\n"
         "  --console, --windowed  the Windows launcher's subsystem; default: the main\n"
         "                        binary's own (a console program gets a console launcher)\n"
         "  --template T          where the files go; default \"{CACHE_DIR}\\{PRODUCT}\\{VERSION}\"\n"
         "                        (windows) or \"{CACHE_DIR}/{PRODUCT}/{VERSION}\" (linux)\n"
         "  --product P           default: the main binary's name without extension\n"
         "  --version V           {VERSION}; default \"0.0.0-\" and the payload's CRC-32 in\n"
         "                        8 hex digits, so that other contents get another cache\n"
         "                        folder (0.0.0.0 in the version record).  Free text such as\n"
         "                        1.2.3-beta is the ProductVersion string; the numeric\n"
         "                        fields take its leading numbers\n"
         "  --file-version V      default: the version\n"
         "  --product-version V   default: the version\n"
         "  --company C           the company name ({COMPANY}, CompanyName)\n"
         "  --description D       one line: FileDescription is \"<product> - <description>\"\n"
         "  --copyright C         LegalCopyright\n"
         "  --icon FILE           the launcher's icon (windows): a PNG, or an .ico whose\n"
         "                        best image is used; default: the main binary's own\n"
         "                        icon, or the project's when it has none\n"
         "  --arg TEXT            a fixed argument the child always gets after its\n"
         "                        argument 0 and before the launcher's own (such as\n"
         "                        --arg -m --arg myapp for an interpreter); repeatable\n"
         "  --runtime DIR         the launcher runtime root, holding linux/ and windows/;\n"
         "                        default " + default_runtime_root().string() + "\n"
         "  --cxx PATH            the target's C++ compiler (default g++, or\n"
         "                        x86_64-w64-mingw32-g++-posix for windows)\n"
         "  --windres PATH        the Windows resource compiler (default\n"
         "                        x86_64-w64-mingw32-windres)\n";
}

std::string build_help() {
  return std::string(
             "usage: zovari-pack build --input DIR --main RELPATH --output FILE [options]\n"
             "\n"
             "Packs DIR and builds the launcher FILE for it.\n"
             "\n"
             "  --input DIR           the application folder\n"
             "  --main RELPATH        the program the launcher starts, relative to DIR\n"
             "  --output FILE         the launcher to write\n"
             "  --level N             zstd compression level, 1 to 22 (default 19: smallest,\n"
             "                        and slow: minutes for a few hundred MiB; 3 takes\n"
             "                        seconds, for development builds)\n"
             "  --jobs N              compression threads (default: one per core); the\n"
             "                        launcher's bytes are the same for any N\n"
             "  --exclude PATTERN     leave out what the glob names: a pattern with \"/\" is\n"
             "                        a path inside DIR (lib/python3.11/test, docs/*.md),\n"
             "                        one without is a file or folder name anywhere\n"
             "                        (__pycache__, *.pdb); a folder goes with all below\n"
             "                        it, and a pattern that names nothing is warned of;\n"
             "                        repeatable\n"
             "  -q, --quiet           no progress and no summary\n"
             "  -v, --verbose         list each file packed\n") +
         launcher_options_help() +
         "\nA link to a file is packed as a copy of the file it points at; a link to a\n"
         "folder and a dangling link stop the build unless an --exclude names them.\n"
         "An output inside DIR is left out of the packed files; its folder is made when\n"
         "missing.  Timestamp-checked Python .pyc files get a warning: Python would\n"
         "rewrite them at every start.  The build ends with one\n"
         "line on stderr: files, bytes, payload size and ratio, target, subsystem and\n"
         "the cache folder the template gives.\n";
}

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

const char* const LIST_HELP =
    "usage: zovari-pack list [--json] FILE\n"
    "\n"
    "A heading of lines that start with \"#\": what FILE is (a payload file, or a\n"
    "launcher: its target and, for Windows, its subsystem); for a launcher its\n"
    "template, product, version and fixed arguments; then the main binary.\n"
    "Then one line per file of the payload: its size, its checksum as 8 hex\n"
    "digits and its name with the target's separator (\"\\\" for a payload file),\n"
    "invisible and control characters shown as \\xNN or \\uNNNN.\n"
    "  --json   the same as one JSON object (names with every character beyond\n"
    "           ASCII as \\uXXXX)\n"
    "Exits with 1, and writes nothing, when the payload is damaged.\n";

const char* const EXTRACT_HELP =
    "usage: zovari-pack extract FILE DIR\n"
    "\n"
    "Writes the files of the payload in FILE under DIR (created when missing).\n"
    "Names that would leave DIR are refused (\"\\\" and \"/\" both separate), and so is\n"
    "a file whose place or folder under DIR is a symbolic link: nothing is ever\n"
    "written through one.  Each file is written beside its place and renamed\n"
    "into it when complete.\n";

const char* const VERIFY_HELP =
    "usage: zovari-pack verify FILE\n"
    "\n"
    "Decodes the whole payload in FILE and checks every checksum, every name (with\n"
    "the rules of Windows names too when FILE is a Windows launcher), the end\n"
    "record, the end of the frame, the frame's seal, the padding and the trailer.  Exits\n"
    "with 0 when all is well, 1 with a line saying what is wrong otherwise.  For a\n"
    "Windows launcher it also says whether it carries a code signature (a\n"
    "certificate table); osslsigncode verify checks the signature itself.\n";

const std::vector<OptionDefinition> LAUNCHER_OPTIONS = {
    {"output", true},  {"target", true},          {"template", true}, {"product", true},
    {"version", true}, {"file-version", true},    {"product-version", true},
    {"company", true}, {"description", true},     {"copyright", true}, {"icon", true},
    {"runtime", true}, {"cxx", true},             {"windres", true},
    {"console", false}, {"windowed", false},      {"quiet", false, 'q'},
    {"arg", true, 0, true}};

// A whole number option from low to high; fallback when it is not given.
int parse_number(const Arguments& args, const std::string& option, int fallback, int low, int high) {
  std::string text = args.get(option, "");
  if (text.empty()) return fallback;
  try {
    size_t used = 0;
    int value = std::stoi(text, &used);
    if (used == text.size() && value >= low && value <= high) return value;
  } catch (const std::exception&) {
  }
  throw UsageError("--" + option + " must be a number from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", not \"" + text + "\"");
}

int parse_level(const Arguments& args) {
  return parse_number(args, "level", 19, 1, 22);
}

// --jobs N: compression threads; 0 when not given (one per core).
int parse_jobs(const Arguments& args) {
  return parse_number(args, "jobs", 0, 1, 256);
}

// "12 s", "3 min 05 s": a duration for the progress line.
std::string duration_text(double seconds) {
  char text[32];
  long whole = (long)(seconds + 0.5);
  if (whole < 60) {
    std::snprintf(text, sizeof text, "%ld s", whole);
  } else {
    std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
  }
  return text;
}

// A one-line progress display on stderr, shown only on a terminal.
class Progress {
 public:
  explicit Progress(uint64_t total) : total_(total), shown_(isatty(2) != 0) {}
  ~Progress() { finish(); }
  void update(uint64_t done) {
    if (!shown_) return;
    auto now = std::chrono::steady_clock::now();
    // At most ten lines a second, and the last one always, once.
    if (active_ && (done == last_done_ || (now - last_ < std::chrono::milliseconds(100) && done < total_))) {
      return;
    }
    last_ = now;
    last_done_ = done;
    active_ = true;
    double percent = total_ > 0 ? 100.0 * (double)done / (double)total_ : 100.0;
    // The rate and the time left, once there is enough behind to judge by.
    // The rate is taken from the first compressed bytes on: until the
    // workers deliver their first jobs, nothing seems done, and a rate from
    // the start would promise many times the real time left.
    std::string pace;
    if (first_done_ == 0 && done > 0) {
      first_done_ = done;
      first_ = now;
    }
    double elapsed = std::chrono::duration<double>(now - first_).count();
    if (first_done_ > 0 && elapsed >= 1.0 && done > first_done_) {
      double rate = (double)(done - first_done_) / elapsed;
      char text[64];
      std::snprintf(text, sizeof text, " %.1f MiB/s", rate / 1048576.0);
      pace = text;
      if (done < total_) pace += ", " + duration_text((double)(total_ - done) / rate) + " left";
    }
    // No file name: the workers take input well ahead of what they have
    // compressed, so the file being read says little about where they are.
    std::fprintf(stderr, "\r\033[Kpacking %.1f of %.1f MiB (%3.0f%%)%s", done / 1048576.0,
                 total_ / 1048576.0, percent, pace.c_str());
    std::fflush(stderr);
  }
  void finish() {
    if (active_) std::fputs("\r\033[K", stderr);
    active_ = false;
  }

 private:
  uint64_t total_;
  bool shown_;
  bool active_ = false;
  std::chrono::steady_clock::time_point first_;  // when the first bytes were done
  uint64_t first_done_ = 0;
  std::chrono::steady_clock::time_point last_;
  uint64_t last_done_ = 0;
};

uint64_t total_size(const std::vector<PayloadRecord>& records) {
  uint64_t total = 0;
  for (const PayloadRecord& record : records) {
    std::error_code error;
    total += fs::file_size(record.source, error);
  }
  return total;
}

void pack_records(const Arguments& args, const std::vector<PayloadRecord>& records,
                  const fs::path& output) {
  PayloadOptions options;
  options.level = parse_level(args);
  options.workers = parse_jobs(args);
  Progress progress(args.has("quiet") ? 0 : total_size(records));
  if (!args.has("quiet")) {
    options.progress = [&](uint64_t done, const std::u16string&) { progress.update(done); };
  }
  write_payload_file(records, options, output);
}

// The same file, whichever way each path names it.
bool same_file(const fs::path& a, const fs::path& b) {
  std::error_code error;
  return fs::equivalent(a, b, error) ||
         fs::weakly_canonical(fs::absolute(a), error) == fs::weakly_canonical(fs::absolute(b), error);
}

// The application's files, without the excluded ones and without the
// output when it lies in the folder: a build into the app's own folder must
// not pack the launcher it replaces.  An output that is the main binary is
// refused.
std::vector<PayloadRecord> collect_input(const Arguments& args, const fs::path& output) {
  Exclusions exclusions(args.all("exclude"));
  std::vector<PayloadRecord> all =
      collect_application(args.required("input"), fs::path(args.required("main")), &exclusions);
  if (same_file(all.front().source, output)) {
    throw UsageError("--output " + quoted_path(output) + " would replace the main binary");
  }
  for (const std::string& pattern : exclusions.unused()) {
    print_warning("--exclude " + in_quotes(pattern) + " matches nothing");
  }
  std::vector<PayloadRecord> kept;
  for (size_t i = 0; i < all.size(); ++i) {
    if (i == 0 || !same_file(all[i].source, output)) kept.push_back(all[i]);
  }
  if (size_t stale = count_stale_python_caches(kept)) print_warning(stale_python_cache_warning(stale));
  if (args.has("verbose")) {
    for (const PayloadRecord& record : kept) {
      std::error_code error;
      std::fprintf(stderr, "%12llu %s\n", (unsigned long long)fs::file_size(record.source, error),
                   display_name(record.name).c_str());
    }
  }
  return kept;
}

const std::vector<OptionDefinition> SELECTION_OPTIONS = {
    {"input", true}, {"main", true}, {"level", true}, {"exclude", true, 0, true},
    {"verbose", false, 'v'}};

std::vector<std::u16string> record_names(const std::vector<PayloadRecord>& records) {
  std::vector<std::u16string> names;
  for (const PayloadRecord& record : records) names.push_back(record.name);
  return names;
}

LauncherSettings launcher_settings(const Arguments& args) {
  LauncherSettings s;
  s.target = args.get("target");
  if (args.has("target") && s.target.empty()) throw UsageError("--target must not be empty");
  if (args.has("console") && args.has("windowed")) {
    throw UsageError("--console and --windowed exclude each other");
  }
  if (args.has("console")) s.subsystem = "console";
  if (args.has("windowed")) s.subsystem = "windows";
  s.path_template = args.get("template");
  if (args.has("template") && s.path_template.empty()) {
    throw UsageError("--template must not be empty (leave it out for the default)");
  }
  s.product = args.get("product");
  s.version = args.get("version");
  if (args.has("version") && s.version.empty()) throw UsageError("--version must not be empty");
  s.file_version = args.get("file-version");
  s.product_version = args.get("product-version");
  s.company = args.get("company");
  s.description = args.get("description");
  s.copyright = args.get("copyright");
  s.icon = args.get("icon");
  s.runtime_root = args.get("runtime");
  s.cxx = args.get("cxx");
  s.windres = args.get("windres");
  s.fixed_arguments = args.all("arg");
  return s;
}

// The cache folder a launcher's template names, with the build values in
// place; for a Linux launcher also this machine's {CACHE_DIR}, {HOME} and
// {TEMP} as the launcher finds them.  Run-time values stay as tokens.
std::string shown_cache_folder(const LauncherSettings& s) {
  std::string text = s.path_template;
  auto replace = [&](const std::string& token, const std::string& value) {
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size())) {
      text.replace(at, token.size(), value);
    }
  };
  replace("{PRODUCT}", s.product);
  replace("{COMPANY}", s.company);
  replace("{VERSION}", s.version);
  replace("{FILE_VERSION}", s.file_version);
  replace("{PRODUCT_VERSION}", s.product_version);
  if (s.target == "linux") {
    auto variable = [](const char* name) {
      const char* value = std::getenv(name);
      return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
    };
    std::string home = variable("HOME");
    std::string cache = variable("XDG_CACHE_HOME");
    if (cache.empty() && !home.empty()) cache = home + "/.cache";
    std::string temp = variable("TMPDIR");
    if (!cache.empty()) replace("{CACHE_DIR}", cache);
    if (!home.empty()) replace("{HOME}", home);
    replace("{TEMP}", temp.empty() ? "/tmp" : temp);
  }
  return text;
}

// The one line that says what a build made, on stderr.
void print_summary(const fs::path& output, const std::vector<PayloadRecord>& records,
                   uint64_t payload_size, const LauncherSettings& s) {
  uint64_t bytes = total_size(records);
  std::fprintf(stderr, "%s: %zu file%s, %llu bytes, payload %llu bytes (%.1f%%), target %s%s, cache folder %s%s\n",
               quoted_path(output).c_str(), records.size(), records.size() == 1 ? "" : "s", (unsigned long long)bytes,
               (unsigned long long)payload_size, bytes > 0 ? 100.0 * (double)payload_size / (double)bytes : 100.0,
               s.target.c_str(), s.target == "windows" ? (s.subsystem == "console" ? " (console)" : " (GUI)") : "",
               shown_cache_folder(s).c_str(),
               s.version_from_content ? " (no --version: {VERSION} from the contents)" : "");
}

int command_payload(const std::vector<std::string>& rest) {
  std::vector<OptionDefinition> options = SELECTION_OPTIONS;
  options.insert(options.end(), {{"output", true}, {"quiet", false, 'q'}, {"jobs", true}});
  Arguments args("payload", rest, options, 0);
  if (args.help()) return std::fputs(PAYLOAD_HELP, stdout), 0;
  parse_level(args);
  parse_jobs(args);
  fs::path output = args.required("output");
  std::vector<PayloadRecord> records = collect_input(args, output);
  prepare_output(output);
  pack_records(args, records, output);
  return 0;
}

int command_build(const std::vector<std::string>& rest) {
  std::vector<OptionDefinition> options = LAUNCHER_OPTIONS;
  options.insert(options.end(), SELECTION_OPTIONS.begin(), SELECTION_OPTIONS.end());
  options.insert(options.end(), {{"jobs", true}});
  Arguments args("build", rest, options, 0);
  if (args.help()) return std::fputs(build_help().c_str(), stdout), 0;
  fs::path output = args.required("output");
  LauncherSettings settings = launcher_settings(args);
  // Check every value and every name before the long part.
  parse_level(args);
  parse_jobs(args);
  std::vector<PayloadRecord> records = collect_input(args, output);
  settings.main_head = read_head(records.front().source);
  settings.main_source = records.front().source;
  complete_settings(settings, record_names(records));
  prepare_output(output);

  TemporaryFolder work;
  fs::path payload = work.path() / WORK_PAYLOAD_NAME;
  pack_records(args, records, payload);
  set_content_version(settings, payload);
  uint64_t payload_size = fs::file_size(payload);
  build_launcher(work.path(), payload_size, settings, output);
  if (!args.has("quiet")) print_summary(output, records, payload_size, settings);
  return 0;
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
    // A Windows program whole: its icon is the launcher's unless --icon says otherwise.
    if (names.size() == 1 && head.compare(0, 2, "MZ") == 0) program.append(data, size);
  }
  std::vector<std::u16string> names;
  std::string head, program;
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
  settings.main_program = names.program;
  complete_settings(settings, names.names);
  prepare_output(output);
  set_content_version(settings, copy);
  build_launcher(work.path(), length, settings, output);
  return 0;
}

// What a file holding a payload is: "windows" or "linux" for a launcher,
// empty for a payload file.
struct FileKind {
  std::string target;
  unsigned subsystem = 0;
  std::string describe() const {
    if (target.empty()) return "payload file";
    return target + " launcher" + (target == "windows" ? ", " + subsystem_name(subsystem) + " subsystem" : "");
  }
};

FileKind file_kind(const MappedFile& file) {
  BinaryKind kind = binary_kind(file.data(), (size_t)std::min<uint64_t>(file.size(), kBinaryHeadBytes));
  FileKind out;
  if (kind.format == BinaryFormat::pe) out.target = "windows";
  if (kind.format == BinaryFormat::elf) out.target = "linux";
  out.subsystem = kind.subsystem;
  return out;
}

// The lines of `list`: the main binary named in the heading (a file may
// really be called "x (main)"), then "size checksum name" for each file.
class Lister : public RecordVisitor {
 public:
  explicit Lister(char16_t separator) : separator_(separator) {}
  void begin_record(const RecordInfo& record) override {
    std::u16string name = record.name;
    for (char16_t& unit : name) unit = unit == u'\\' ? separator_ : unit;
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
    std::u16string name = record.name;
    for (char16_t& unit : name) unit = unit == u'\\' ? separator_ : unit;
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

// The whole listing as one JSON object, written once the payload has been
// read whole, so that a damaged one gives no output at all.
void print_json_listing(const FileKind& kind, const std::vector<std::string>& values,
                        const JsonLister& lister) {
  std::string out = "{\n  \"kind\": " + json_string(kind.target.empty() ? "payload" : "launcher");
  if (!kind.target.empty()) out += ",\n  \"target\": " + json_string(kind.target);
  if (kind.target == "windows") out += ",\n  \"subsystem\": " + json_string(subsystem_name(kind.subsystem));
  if (!values.empty()) {
    out += ",\n  \"template\": " + json_string(values[VALUE_TEMPLATE]) +
           ",\n  \"product\": " + json_string(values[VALUE_PRODUCT]) +
           ",\n  \"version\": " + json_string(values[VALUE_VERSION]) + ",\n  \"arguments\": [";
    for (size_t i = VALUE_FIXED_ARGUMENTS; i < values.size(); ++i) {
      out += (i == VALUE_FIXED_ARGUMENTS ? "" : ", ") + json_string(values[i]);
    }
    out += "]";
  }
  out += ",\n  \"main\": " + lister.main + ",\n  \"files\": [" + lister.files + "\n  ]\n}\n";
  std::fputs(out.c_str(), stdout);
}

int command_list(const std::vector<std::string>& rest) {
  Arguments args("list", rest, {{"json", false}}, 1);
  if (args.help()) return std::fputs(LIST_HELP, stdout), 0;
  MappedFile file(args.positional()[0]);
  PayloadLocation location = find_payload(file.data(), file.size());
  FileKind kind = file_kind(file);
  // A launcher holds its build values behind its payload.
  std::vector<std::string> values = read_build_values(file.data(), file.size(), location.offset + location.length,
                                                      location.length, kind.target == "linux");
  const char16_t separator = kind.target == "linux" ? u'/' : u'\\';
  if (args.has("json")) {
    JsonLister lister(separator);
    // Every checksum is compared: a damaged payload is an error, not a listing.
    read_payload(file.data(), location, lister, true);
    print_json_listing(kind, values, lister);
    return 0;
  }
  std::printf("# %s\n", kind.describe().c_str());
  if (!values.empty()) {
    std::printf("# template: %s\n# product: %s\n# version: %s\n", values[VALUE_TEMPLATE].c_str(),
                values[VALUE_PRODUCT].c_str(), values[VALUE_VERSION].c_str());
    for (size_t i = VALUE_FIXED_ARGUMENTS; i < values.size(); ++i) {
      std::printf("# argument: %s\n", values[i].c_str());
    }
  }
  Lister lister(separator);
  read_payload(file.data(), location, lister, true);
  return 0;
}

// Checks every name as `launcher` does, with the Windows rules for a
// Windows launcher, for verify.
class NameChecker : public RecordVisitor {
 public:
  explicit NameChecker(bool windows) : windows_(windows) {}
  void begin_record(const RecordInfo& record) override {
    NameProblem problem = name_problem(record.name, windows_);
    if (problem) {
      throw PackError("the record name \"" + display_name(record.name) + "\" " + problem.text +
                      (problem.windows_only ? ", which a Windows launcher cannot unpack"
                                            : ", which the container format forbids"));
    }
  }

 private:
  bool windows_;
};

// Writes the records under a folder.  Every folder below it is opened
// without following links, and each file is written as a new temporary file
// that is then renamed into place, so nothing is ever written through a link
// that was in the folder; a link where a folder or file goes is refused.
class Extractor : public RecordVisitor {
 public:
  explicit Extractor(const fs::path& root) : root_(root) {
    root_fd_ = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_fd_ < 0) throw PackError("cannot open folder " + root.string() + ": " + std::strerror(errno));
  }
  ~Extractor() override {
    discard();
    close_folder();
    ::close(root_fd_);
  }
  void begin_record(const RecordInfo& record) override {
    NameProblem problem = name_problem(record.name, false);
    if (problem) {
      throw PackError("refusing the name \"" + display_name(record.name) + "\": it " + problem.text);
    }
    shown_ = "\"" + display_name(record.name) + "\"";
    std::vector<std::u16string> parts = name_components(record.name);
    file_name_ = utf8_from_utf16(parts.back());
    parts.pop_back();
    // Records of one folder mostly follow each other: keep its descriptor.
    if (folder_fd_ < 0 || parts != folder_parts_) {
      close_folder();
      folder_fd_ = open_folders(parts);
      folder_parts_ = parts;
    }
    struct stat info;
    if (::fstatat(folder_fd_, file_name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(info.st_mode)) refuse_link(record.name);
      if (S_ISDIR(info.st_mode)) throw PackError("cannot write " + shown_ + ": a folder is in its place");
    }
    for (int attempt = 0; attempt < 100 && out_fd_ < 0; ++attempt) {
      char suffix[32];
      std::snprintf(suffix, sizeof suffix, ".%08x.tmp", (unsigned)random_());
      temporary_ = (file_name_.size() > 200 ? std::string(".zovari-pack") : "." + file_name_) + suffix;
      out_fd_ = ::openat(folder_fd_, temporary_.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (out_fd_ < 0 && errno != EEXIST) break;
    }
    if (out_fd_ < 0) throw PackError("cannot create " + shown_ + ": " + std::strerror(errno));
    fs::path whole = root_;
    for (const std::u16string& part : parts) whole /= utf8_from_utf16(part);
    mark_ = remember_temporary((whole / temporary_).string(), false);
  }
  void record_data(const char* data, size_t size) override {
    if (head_.size() < 4) head_.append(data, std::min(size, 4 - head_.size()));
    while (size > 0) {
      ssize_t wrote = ::write(out_fd_, data, size);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) throw PackError("cannot write " + shown_ + ": " + std::strerror(errno));
      data += wrote;
      size -= (size_t)wrote;
    }
  }
  void end_record(const RecordInfo&, uint32_t) override {
    int fd = out_fd_;
    out_fd_ = -1;
    // The main binary and whatever starts like a program can be run, as the
    // launcher leaves them; the umask has its say as for any new file.
    bool program = records_++ == 0 || starts_like_program((const unsigned char*)head_.data(), head_.size());
    head_.clear();
    bool good = (!program || ::fchmod(fd, 0777 & ~umask_) == 0) && ::close(fd) == 0 &&
                ::renameat(folder_fd_, temporary_.c_str(), folder_fd_, file_name_.c_str()) == 0;
    int error = errno;
    if (!good) {
      discard();
      throw PackError("cannot write " + shown_ + ": " + std::strerror(error));
    }
    forget_temporary(mark_);
    mark_ = -1;
    temporary_.clear();
  }

 private:
  // The folder that holds the file, made where missing, as an open descriptor.
  int open_folders(const std::vector<std::u16string>& parts) {
    int fd = ::dup(root_fd_);
    for (const std::u16string& part : parts) {
      std::string name = utf8_from_utf16(part);
      int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0 && errno == ENOENT && ::mkdirat(fd, name.c_str(), 0777) == 0) {
        next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }
      int error = errno;
      struct stat info;
      bool link = next < 0 && ::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                  S_ISLNK(info.st_mode);
      ::close(fd);
      if (link) refuse_link(part);
      if (next < 0) {
        throw PackError("cannot create the folder \"" + display_name(part) + "\" for " + shown_ + ": " +
                        std::strerror(error));
      }
      fd = next;
    }
    return fd;
  }
  [[noreturn]] void refuse_link(const std::u16string& what) {
    throw PackError("refusing to write " + shown_ + " through the symbolic link \"" +
                    display_name(what) + "\" that is already in " + root_.string());
  }
  void discard() {
    if (out_fd_ >= 0) ::close(out_fd_);
    out_fd_ = -1;
    if (!temporary_.empty() && folder_fd_ >= 0) ::unlinkat(folder_fd_, temporary_.c_str(), 0);
    temporary_.clear();
    forget_temporary(mark_);
    mark_ = -1;
  }
  void close_folder() {
    if (folder_fd_ >= 0) ::close(folder_fd_);
    folder_fd_ = -1;
  }

  fs::path root_;
  int root_fd_ = -1, folder_fd_ = -1, out_fd_ = -1, mark_ = -1;
  std::vector<std::u16string> folder_parts_;  // the folder folder_fd_ is open on
  std::minstd_rand random_{std::random_device()()};
  std::string shown_, file_name_, temporary_;
  std::string head_;  // the record's first bytes
  uint64_t records_ = 0;
  mode_t umask_ = current_umask();
  static mode_t current_umask() {
    mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
  }
};

int command_extract(const std::vector<std::string>& rest) {
  Arguments args("extract", rest, {}, 2);
  if (args.help()) return std::fputs(EXTRACT_HELP, stdout), 0;
  MappedFile file(args.positional()[0]);
  PayloadLocation location = find_payload(file.data(), file.size());
  fs::path root = args.positional()[1];
  std::error_code error;
  fs::create_directories(root, error);
  if (error) throw PackError("cannot create folder " + root.string() + ": " + error.message());
  Extractor extractor(root);
  read_payload(file.data(), location, extractor, true);
  return 0;
}

// What verify says of a Windows launcher's code signature; empty for other files.
std::string signature_text(const MappedFile& file, const PayloadLocation& location) {
  CertificateTable table = read_certificate_table(file.data(), file.size(), location.offset,
                                                  location.offset + location.length);
  if (!table.pe) return std::string();
  if (table.size == 0) return ", not signed";
  return ", signed (certificate table of " + std::to_string(table.size) + " bytes at offset " +
         std::to_string(table.offset) + ")";
}

int command_verify(const std::vector<std::string>& rest) {
  Arguments args("verify", rest, {}, 1);
  if (args.help()) return std::fputs(VERIFY_HELP, stdout), 0;
  MappedFile file(args.positional()[0]);
  PayloadLocation location = find_payload(file.data(), file.size());
  // A Windows launcher gets the rules of Windows names too.
  FileKind kind = file_kind(file);
  bool windows = kind.target == "windows" || (file.size() >= 2 && file.data()[0] == 'M' && file.data()[1] == 'Z');
  NameChecker names(windows);
  ReadSummary summary = read_payload(file.data(), location, names, true);
  if (summary.records == 0) throw PackError("the payload holds no files");
  std::string signature = signature_text(file, location);
  std::printf("ok: %s, %llu files, %llu bytes, payload of %llu bytes at offset %llu%s%s\n",
              kind.describe().c_str(), (unsigned long long)summary.records, (unsigned long long)summary.bytes,
              (unsigned long long)location.length, (unsigned long long)location.offset,
              summary.sealed ? ", frame seal intact" : ", no frame seal", signature.c_str());
  return 0;
}

#ifndef ZOVARI_VERSION
#define ZOVARI_VERSION "0.1.0"
#endif

// The version, and where each target's launcher runtime is (or what is missing).
int print_version() {
  std::printf("zovari-pack %s\n", ZOVARI_VERSION);
  for (const char* target : {"linux", "windows"}) {
    try {
      std::printf("%s runtime: %s\n", target, find_runtime(fs::path(), target).c_str());
    } catch (const PackError& missing) {
      std::printf("%s runtime: missing (%s)\n", target, missing.what());
    }
  }
  return 0;
}

int run(const std::vector<std::string>& all) {
  if (all.empty()) throw UsageError("missing command (see zovari-pack --help)");
  if (all[0] == "--help" || all[0] == "-h" || all[0] == "help") {
    std::fputs(MAIN_HELP, stdout);
    return 0;
  }
  if (all[0] == "--version") return print_version();
  const std::string& command = all[0];
  std::vector<std::string> rest(all.begin() + 1, all.end());
  if (command == "payload") return command_payload(rest);
  if (command == "build") return command_build(rest);
  if (command == "launcher") return command_launcher(rest);
  if (command == "list") return command_list(rest);
  if (command == "extract") return command_extract(rest);
  if (command == "verify") return command_verify(rest);
  throw UsageError("unknown command \"" + command + "\" (see zovari-pack --help)");
}

// One line, whatever the message holds.
std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> all(argv + 1, argv + argc);
  std::string command = all.empty() ? std::string() : all[0];
  remove_temporary_on_signals();
  try {
    int code = run(all);
    // Output that did not arrive is a failure, as on a full disk.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      throw PackError(std::string("cannot write to standard output: ") + std::strerror(errno));
    }
    return code;
  } catch (const UsageError& error) {
    std::fprintf(stderr, "zovari-pack: %s\n", one_line(error.what()).c_str());
    return 2;
  } catch (const PackError& error) {
    std::fprintf(stderr, "zovari-pack %s: error: %s\n", command.c_str(), one_line(error.what()).c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zovari-pack %s: error: %s\n", command.c_str(), one_line(error.what()).c_str());
    return 1;
  }
}
