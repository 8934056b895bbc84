// zovari-pack payload: packs a folder into a payload file.

#include "pack/commands.h"

#include <cstdio>
#include <filesystem>

#include "pack/arguments.h"
#include "pack/command_options.h"
#include "pack/packing.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

const char* const PAYLOAD_HELP =
    "usage: zovari-pack payload --input DIR --main RELPATH --output FILE [options]\n"
    "\n"
    "Packs every file under DIR into a payload: the main binary RELPATH (relative\n"
    "to DIR) first, then the others sorted by name.  Links to files are followed;\n"
    "links to folders and dangling links are refused.\n"
    "\n"
    "  --input DIR      the application folder\n"
    "  --main RELPATH   the program the launcher starts, relative to DIR\n"
    "  --output FILE    the payload file to write (replaced only when complete)\n"
    "  --level N        zstd compression level, 1 to 22 (default 19)\n"
    "  --jobs N         compression threads (default: one per core); the payload's\n"
    "                   bytes are the same for any N\n"
    "  --exclude PATTERN  leave out matching files (see build --help); repeatable\n"
    "  -q, --quiet      no progress\n"
    "  -v, --verbose    list each file packed\n"
    "An output inside DIR is left out of the packed files.\n";

}  // namespace

int command_payload(const std::vector<std::string>& rest) {
  std::vector<OptionDefinition> options = SELECTION_OPTIONS;
  options.insert(options.end(), {{"output", true}, {"quiet", false, 'q'}, {"jobs", true}});
  Arguments args("payload", rest, options, 0);
  if (args.help()) return std::fputs(PAYLOAD_HELP, stdout), 0;
  parse_level(args);
  parse_jobs(args);
  fs::path output = fs::u8path(args.required("output"));
  pack_records(args, collect_input(args, output), output);
  return 0;
}

}  // namespace zovari
