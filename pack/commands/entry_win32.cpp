// zovari-pack's entry on Windows: the wide arguments as UTF-8, whatever the
// code page, and UTF-8 out to the console.
#include <windows.h>

#include "pack/commands/commands.h"
#include "pack/system/error.h"
#include "pack/system/text.h"

int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> all;
  for (int i = 1; i < argc; ++i) {
    std::wstring wide = argv[i];
    try {
      all.push_back(zovari::utf8_from_utf16(std::u16string(wide.begin(), wide.end())));
    } catch (const zovari::PackError&) {
      std::fprintf(stderr, "zovari-pack: argument %d is not valid UTF-16\n", i);
      return 2;
    }
  }
  return zovari::run_tool(all);
}
