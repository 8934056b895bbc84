// zovari-pack payload: packs a folder into a payload file.

#include "pack/commands/commands.h"

#include <cstdio>
#include <filesystem>

#include "pack/commands/arguments.h"
#include "pack/commands/options.h"
#include "pack/system/temporary_output.h"
#include "pack/system/text.h"
#include "pack/commands/packing.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

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
    "An output inside DIR is left out of the packed files, and so is, with a\n"
    "warning, any other launcher zovari-pack made; the output's folder is made\n"
    "when missing.\n";

}  // namespace

int command_payload(const std::vector<std::string>& rest) {
  std::vector<OptionDefinition> options = SELECTION_OPTIONS;
  options.insert(options.end(), {{"output", true}, {"quiet", false, 'q'}, {"jobs", true}});
  Arguments args("payload", rest, options, 0);
  if (args.help()) return std::fputs(PAYLOAD_HELP, stdout), 0;
  parse_level(args);
  parse_jobs(args);
  fs::path output = fs::u8path(args.required("output"));
  std::vector<PayloadRecord> records = collect_input(args, output);
  prepare_output(output);
  // A payload's names, as list shows a payload file's.
  pack_records(args, records, output, u'\\');
  return 0;
}

}  // namespace zovari
