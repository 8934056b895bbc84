// The commands of zovari-pack, one file each (command_NAME.cpp); main.cpp
// picks one by the first argument.  Each takes the arguments behind the
// command's name and returns the exit code; it throws UsageError for a bad
// command line and PackError for what fails.
#ifndef ZOVARI_PACK_COMMANDS_H
#define ZOVARI_PACK_COMMANDS_H

#include <string>
#include <vector>

namespace zovari {

int command_payload(const std::vector<std::string>& rest);
int command_build(const std::vector<std::string>& rest);
int command_launcher(const std::vector<std::string>& rest);
int command_list(const std::vector<std::string>& rest);
int command_extract(const std::vector<std::string>& rest);
int command_verify(const std::vector<std::string>& rest);

// The whole tool: its arguments (UTF-8, the program's name left out) in, the
// exit code out, every failure reported on the standard error stream.  The
// entry of each system (entry_posix.cpp, entry_win32.cpp) calls it.
int run_tool(const std::vector<std::string>& all);

}  // namespace zovari

#endif
