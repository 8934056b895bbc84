// zovari-pack: packs an application folder into a payload and builds the
// single-file launcher that unpacks and starts it; lists, extracts and
// verifies payloads and launchers.
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "pack/arguments.h"
#include "pack/launcher_build.h"
#include "pack/payload_reader.h"
#include "pack/payload_writer.h"
#include "pack/toolchain.h"

namespace fs = std::filesystem;
using namespace zovari;

namespace {

// A usage mistake: exit code 2 rather than 1.
struct UsageError : PackError {
  using PackError::PackError;
};

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
    "Run 'zovari-pack COMMAND --help' for a command's options.\n";

const char* const PAYLOAD_HELP =
    "usage: zovari-pack payload --input DIR --main RELPATH --output FILE [--level N]\n"
    "\n"
    "Packs every file under DIR into a payload: the main binary RELPATH (relative\n"
    "to DIR) first, then the others sorted by name.  Links to files are followed;\n"
    "links to folders and dangling links are refused.\n"
    "\n"
    "  --input DIR      the application folder\n"
    "  --main RELPATH   the program the launcher starts, relative to DIR\n"
    "  --output FILE    the payload file to write (replaced only when complete)\n"
    "  --level N        zstd compression level, 1 to 22 (default 19)\n";

std::string launcher_options_help() {
  return "  --target T            windows (default) or linux\n"
         "  --template T          where the files go; default \"{CACHE_DIR}\\{PRODUCT}\\{VERSION}\"\n"
         "                        (windows) or \"{CACHE_DIR}/{PRODUCT}/{VERSION}\" (linux)\n"
         "  --product P           default: the main binary's name without extension\n"
         "  --version V           default 0.0.0 ({VERSION}; 0.0.0.0 in the version record)\n"
         "  --file-version V      default: the version\n"
         "  --product-version V   default: the version\n"
         "  --company C           the company name ({COMPANY}, CompanyName)\n"
         "  --description D       one line: FileDescription is \"<product> - <description>\"\n"
         "  --copyright C         LegalCopyright\n"
         "  --icon PNG            the launcher's icon (windows); default: the project's own\n"
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
             "  --level N             zstd compression level, 1 to 22 (default 19)\n") +
         launcher_options_help();
}

std::string launcher_help() {
  return std::string(
             "usage: zovari-pack launcher --payload FILE --output FILE [options]\n"
             "\n"
             "Builds a launcher from a payload file that any tool following the container\n"
             "format wrote; the payload is checked completely first.\n"
             "\n"
             "  --payload FILE        the payload\n"
             "  --output FILE         the launcher to write\n") +
         launcher_options_help();
}

const char* const LIST_HELP =
    "usage: zovari-pack list FILE\n"
    "\n"
    "Prints one line per file of the payload in FILE (a payload, or a launcher of\n"
    "either target): its size, its checksum as 8 hex digits, its name.\n";

const char* const EXTRACT_HELP =
    "usage: zovari-pack extract FILE DIR\n"
    "\n"
    "Writes the files of the payload in FILE under DIR (created when missing).\n"
    "Names that would leave DIR are refused.\n";

const char* const VERIFY_HELP =
    "usage: zovari-pack verify FILE\n"
    "\n"
    "Decodes the whole payload in FILE and checks every checksum, the end record,\n"
    "the end of the frame, the frame's seal, the padding and the trailer.  Exits\n"
    "with 0 when all is well, 1 with a line saying what is wrong otherwise.\n";

const std::vector<OptionDefinition> LAUNCHER_OPTIONS = {
    {"output", true},  {"target", true},          {"template", true}, {"product", true},
    {"version", true}, {"file-version", true},    {"product-version", true},
    {"company", true}, {"description", true},     {"copyright", true}, {"icon", true},
    {"runtime", true}, {"cxx", true},             {"windres", true}};

int parse_level(const Arguments& args) {
  std::string text = args.get("level", "19");
  try {
    size_t used = 0;
    int level = std::stoi(text, &used);
    if (used == text.size() && level >= 1 && level <= 22) return level;
  } catch (const std::exception&) {
  }
  throw UsageError("--level must be a number from 1 to 22, not \"" + text + "\"");
}

// A one-line progress display on stderr, shown only on a terminal.
class Progress {
 public:
  explicit Progress(uint64_t total) : total_(total), shown_(isatty(2) != 0) {}
  ~Progress() { finish(); }
  void update(uint64_t done, const std::u16string& name) {
    if (!shown_) return;
    auto now = std::chrono::steady_clock::now();
    if (active_ && now - last_ < std::chrono::milliseconds(100) && done < total_) return;
    last_ = now;
    active_ = true;
    std::string shown = display_name(name);
    if (shown.size() > 40) shown = "..." + shown.substr(shown.size() - 37);
    double percent = total_ > 0 ? 100.0 * (double)done / (double)total_ : 100.0;
    std::fprintf(stderr, "\r\033[Kpacking %.1f of %.1f MiB (%3.0f%%) %s", done / 1048576.0,
                 total_ / 1048576.0, percent, shown.c_str());
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
  std::chrono::steady_clock::time_point last_;
};

uint64_t total_size(const std::vector<PayloadRecord>& records) {
  uint64_t total = 0;
  for (const PayloadRecord& record : records) {
    std::error_code error;
    total += record.from_file ? fs::file_size(record.source, error) : record.contents.size();
  }
  return total;
}

void pack_folder(const Arguments& args, const fs::path& output, std::u16string* main_name) {
  PayloadOptions options;
  options.level = parse_level(args);
  std::vector<PayloadRecord> records =
      collect_application(args.required("input"), fs::path(args.required("main")));
  *main_name = records.front().name;
  Progress progress(total_size(records));
  options.progress = [&](uint64_t done, const std::u16string& name) { progress.update(done, name); };
  write_payload_file(records, options, output);
}

LauncherSettings launcher_settings(const Arguments& args) {
  LauncherSettings s;
  s.target = args.get("target", "windows");
  s.path_template = args.get("template");
  s.product = args.get("product");
  s.version = args.get("version", "0.0.0");
  s.file_version = args.get("file-version");
  s.product_version = args.get("product-version");
  s.company = args.get("company");
  s.description = args.get("description");
  s.copyright = args.get("copyright");
  s.icon = args.get("icon");
  s.runtime_root = args.get("runtime");
  s.cxx = args.get("cxx");
  s.windres = args.get("windres");
  return s;
}

int command_payload(const std::vector<std::string>& rest) {
  Arguments args("payload", rest, {{"input", true}, {"main", true}, {"output", true}, {"level", true}}, 0);
  if (args.help()) return std::fputs(PAYLOAD_HELP, stdout), 0;
  std::u16string main_name;
  pack_folder(args, args.required("output"), &main_name);
  return 0;
}

int command_build(const std::vector<std::string>& rest) {
  std::vector<OptionDefinition> options = LAUNCHER_OPTIONS;
  options.insert(options.end(), {{"input", true}, {"main", true}, {"level", true}});
  Arguments args("build", rest, options, 0);
  if (args.help()) return std::fputs(build_help().c_str(), stdout), 0;
  fs::path output = args.required("output");
  LauncherSettings settings = launcher_settings(args);
  // Check every value before the long part: the main binary's name decides
  // some defaults, so collect first (cheap), pack afterwards.
  parse_level(args);
  std::vector<PayloadRecord> records =
      collect_application(args.required("input"), fs::path(args.required("main")));
  complete_settings(settings, records.front().name);

  TemporaryFolder work;
  fs::path payload = work.path() / "payload.bin";
  std::u16string main_name;
  pack_folder(args, payload, &main_name);
  if (main_name != records.front().name) throw PackError("the input folder changed while packing");
  build_launcher(payload, fs::file_size(payload), settings, output);
  return 0;
}

// The whole payload checked, for `launcher`; returns the main binary's name.
class FirstName : public RecordVisitor {
 public:
  void begin_record(const RecordInfo& record) override {
    if (first.empty()) first = record.name;
  }
  std::u16string first;
};

int command_launcher(const std::vector<std::string>& rest) {
  std::vector<OptionDefinition> options = LAUNCHER_OPTIONS;
  options.push_back({"payload", true});
  Arguments args("launcher", rest, options, 0);
  if (args.help()) return std::fputs(launcher_help().c_str(), stdout), 0;
  fs::path payload = args.required("payload");
  fs::path output = args.required("output");
  LauncherSettings settings = launcher_settings(args);
  uint64_t length = 0;
  FirstName first;
  {
    MappedFile file(payload);
    if (file.size() < 3 || file.data()[0] != 'Q' || file.data()[1] != 'D' || file.data()[2] != 'Y') {
      throw PackError("not a payload file (it does not start with \"QDY\"): " + payload.string());
    }
    PayloadLocation location = find_payload(file.data(), file.size());
    try {
      read_payload(file.data(), location, first, true);
    } catch (const PackError& error) {
      throw PackError("the payload is damaged: " + std::string(error.what()));
    }
    if (first.first.empty()) throw PackError("the payload holds no files");
    length = location.length;
  }
  complete_settings(settings, first.first);
  build_launcher(payload, length, settings, output);
  return 0;
}

class Lister : public RecordVisitor {
 public:
  void begin_record(const RecordInfo& record) override {
    std::printf("%llu %08x %s\n", (unsigned long long)record.size, record.checksum,
                display_name(record.name).c_str());
  }
};

int command_list(const std::vector<std::string>& rest) {
  Arguments args("list", rest, {}, 1);
  if (args.help()) return std::fputs(LIST_HELP, stdout), 0;
  MappedFile file(args.positional()[0]);
  PayloadLocation location = find_payload(file.data(), file.size());
  Lister lister;
  read_payload(file.data(), location, lister, false);
  return 0;
}

// What is wrong with a name by the container format's rules (no drive, no
// leading "\\", no empty, "." or ".." component), and where "/" is a separator
// also a "/" inside a component; empty when nothing is.  Fills *relative.
std::string name_problem(const std::u16string& name, bool slash_is_separator, fs::path* relative) {
  if (name.empty()) return "is empty";
  std::string text;
  try {
    text = utf8_from_utf16(name);
  } catch (const PackError&) {
    return "is not valid UTF-16";
  }
  if (text.size() >= 2 && text[1] == ':' && std::isalpha((unsigned char)text[0])) {
    return "starts with a drive letter";
  }
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\\', start);
    std::string component = text.substr(start, end == std::string::npos ? end : end - start);
    if (component.empty()) return start == 0 ? "is absolute" : "has an empty component";
    if (component == "." || component == "..") return "has a \"" + component + "\" component";
    if (slash_is_separator && component.find('/') != std::string::npos) {
      return "holds \"/\", a separator on this system";
    }
    *relative /= component;
    if (end == std::string::npos) return std::string();
    start = end + 1;
  }
}

// The path under the extraction folder for an untrusted name, or PackError.
fs::path safe_relative_path(const std::u16string& name) {
  fs::path relative;
  std::string problem = name_problem(name, true, &relative);
  if (!problem.empty()) {
    throw PackError("refusing the name \"" + display_name(name) + "\": it " + problem);
  }
  return relative;
}

// Checks every name against the format's rules, for verify.
class NameChecker : public RecordVisitor {
 public:
  void begin_record(const RecordInfo& record) override {
    fs::path ignored;
    std::string problem = name_problem(record.name, false, &ignored);
    if (!problem.empty()) {
      throw PackError("the record name \"" + display_name(record.name) + "\" " + problem +
                      ", which the container format forbids");
    }
  }
};

class Extractor : public RecordVisitor {
 public:
  explicit Extractor(const fs::path& root) : root_(root) {}
  ~Extractor() override {
    if (out_.is_open()) {
      out_.close();
      std::error_code ignored;
      fs::remove(current_, ignored);
    }
  }
  void begin_record(const RecordInfo& record) override {
    current_ = root_ / safe_relative_path(record.name);
    std::error_code error;
    fs::create_directories(current_.parent_path(), error);
    if (error) throw PackError("cannot create folder " + current_.parent_path().string() + ": " + error.message());
    out_.open(current_, std::ios::binary | std::ios::trunc);
    if (!out_) throw PackError("cannot create " + current_.string());
  }
  void record_data(const char* data, size_t size) override {
    out_.write(data, (std::streamsize)size);
    if (!out_) throw PackError("cannot write " + current_.string());
  }
  void end_record(const RecordInfo&, uint32_t) override {
    out_.close();
    if (!out_) throw PackError("cannot write " + current_.string());
  }

 private:
  fs::path root_;
  fs::path current_;
  std::ofstream out_;
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

int command_verify(const std::vector<std::string>& rest) {
  Arguments args("verify", rest, {}, 1);
  if (args.help()) return std::fputs(VERIFY_HELP, stdout), 0;
  MappedFile file(args.positional()[0]);
  PayloadLocation location = find_payload(file.data(), file.size());
  NameChecker names;
  ReadSummary summary = read_payload(file.data(), location, names, true);
  if (summary.records == 0) throw PackError("the payload holds no files");
  std::printf("ok: %llu files, %llu bytes, payload of %llu bytes at offset %llu%s\n",
              (unsigned long long)summary.records, (unsigned long long)summary.bytes,
              (unsigned long long)location.length, (unsigned long long)location.offset,
              summary.sealed ? ", frame seal intact" : ", no frame seal");
  return 0;
}

int run(const std::vector<std::string>& all) {
  if (all.empty()) throw UsageError("missing command (see zovari-pack --help)");
  if (all[0] == "--help" || all[0] == "-h" || all[0] == "help") {
    std::fputs(MAIN_HELP, stdout);
    return 0;
  }
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
    std::fflush(stdout);
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
