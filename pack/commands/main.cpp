// zovari-pack: packs an application folder into a payload and builds the
// single-file launcher that unpacks and starts it; lists, extracts and
// verifies payloads and launchers.
// Here only the command line's first word is read; each command has a file of
// its own (commands.h).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pack/commands/arguments.h"
#include "pack/system/cleanup.h"
#include "pack/commands/commands.h"
#include "pack/system/error.h"
#include "pack/executables/runtime_image.h"
#include "pack/system/text.h"

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

#ifndef ZOVARI_VERSION
#define ZOVARI_VERSION "0.1.0"
#endif

// The version, and where each target's runtime image is (or what is wrong).
int print_version() {
  std::printf("zovari-pack %s\n", ZOVARI_VERSION);
  for (const char* target : {"linux", "windows"}) {
    try {
      read_runtime_image(fs::path(), target);
      std::printf("%s runtime: %s\n", target, default_runtime_image(target).u8string().c_str());
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

int zovari::run_tool(const std::vector<std::string>& all) {
  std::string command = all.empty() ? std::string() : all[0];
  remove_temporary_on_signals();
  try {
    int code = run(all);
    // Output that did not arrive is a failure, as on a full disk.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      throw PackError(std::string("cannot write to standard output: ") + std::strerror(errno));
    }
    return code;
  } catch (const Interrupted&) {
    end_interrupted();
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
