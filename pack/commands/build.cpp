// zovari-pack build: packs a folder and builds a launcher for it.

#include "pack/commands/commands.h"

#include <cstdio>
#include <filesystem>

#include "pack/commands/arguments.h"
#include "pack/executables/binary_kind.h"
#include "pack/commands/summary.h"
#include "pack/system/cleanup.h"
#include "pack/commands/options.h"
#include "pack/system/temporary_output.h"
#include "pack/system/text.h"
#include "pack/executables/launcher_build.h"
#include "pack/commands/packing.h"
#include "pack/payloads/reader.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

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
             "                        (__pycache__, *.pdb), and a leading \"/\" anchors a\n"
             "                        pattern at DIR's top (/node_modules); a folder goes\n"
             "                        with all below it, and a pattern that names nothing\n"
             "                        is warned of; repeatable\n"
             "  -q, --quiet           no progress and no summary\n"
             "  -v, --verbose         list each file packed\n") +
         launcher_options_help() +
         "\nA link to a file is packed as a copy of the file it points at; a link to a\n"
         "folder and dangling links (all named at once) stop the build unless an\n"
         "--exclude names them.  An output inside DIR is left out of the packed files,\n"
         "and so is, with a warning, any other launcher zovari-pack made (an earlier\n"
         "build); the output's folder is made when missing.  A Windows program's\n"
         "--main is matched without regard to case, as Windows reads names.  Timestamp-checked Python .pyc files get a warning: Python would\n"
         "rewrite them at every start.  Everything is checked before compressing.  The\n"
         "build ends with one\n"
         "line on stderr: files, bytes, payload size and ratio, target, subsystem and\n"
         "the cache folder the template gives.\n";
}

}  // namespace

int command_build(const std::vector<std::string>& rest) {
  std::vector<OptionDefinition> options = LAUNCHER_OPTIONS;
  options.insert(options.end(), SELECTION_OPTIONS.begin(), SELECTION_OPTIONS.end());
  options.insert(options.end(), {{"jobs", true}});
  Arguments args("build", rest, options, 0);
  if (args.help()) return std::fputs(build_help().c_str(), stdout), 0;
  fs::path output = fs::u8path(args.required("output"));
  LauncherSettings settings = launcher_settings(args);
  // Check every value and every name before the long part.
  parse_level(args);
  parse_jobs(args);
  std::vector<PayloadRecord> records = collect_input(args, output);
  settings.main_sample = read_program_sample(records.front().source);
  settings.main_source = records.front().source;
  complete_settings(settings, record_names(records));
  prepare_output(output);

  TemporaryFolder work;
  fs::path payload = work.path() / WORK_PAYLOAD_NAME;
  pack_records(args, records, payload, settings.target == "linux" ? u'/' : u'\\');
  MappedFile written(payload);
  uint64_t payload_size = written.size();
  set_content_digest(settings, written.data(), payload_size);
  set_quick_start_list(settings, written.data(), payload_size);
  build_launcher(written.data(), payload_size, settings, output);
  if (!args.has("quiet")) print_summary(output, records, payload_size, settings);
  return 0;
}

}  // namespace zovari
