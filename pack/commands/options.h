// The options that several commands share, and reading their values.
#ifndef ZOVARI_PACK_COMMAND_OPTIONS_H
#define ZOVARI_PACK_COMMAND_OPTIONS_H

#include <string>
#include <vector>

#include "pack/commands/arguments.h"
#include "pack/executables/launcher_build.h"

namespace zovari {

// The options of the commands that build a launcher: build and launcher.
extern const std::vector<OptionDefinition> LAUNCHER_OPTIONS;

// The options that pick an application's files: payload and build.
extern const std::vector<OptionDefinition> SELECTION_OPTIONS;

// The help lines of LAUNCHER_OPTIONS.
std::string launcher_options_help();

// A whole number option from low to high; fallback when it is not given.
int parse_number(const Arguments& args, const std::string& option, int fallback, int low, int high);

// --level N: the zstd compression level, 19 when not given.
int parse_level(const Arguments& args);

// --jobs N: compression threads; 0 when not given (one per core).
int parse_jobs(const Arguments& args);

// The launcher settings that LAUNCHER_OPTIONS give; complete_settings fills
// in the rest.
LauncherSettings launcher_settings(const Arguments& args);

}  // namespace zovari

#endif
