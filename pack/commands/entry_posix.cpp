// zovari-pack's entry on POSIX systems: the arguments are the system's bytes,
// UTF-8 on any current system.
#include "pack/commands/commands.h"

int main(int argc, char** argv) {
  return zovari::run_tool(std::vector<std::string>(argv + 1, argv + argc));
}
