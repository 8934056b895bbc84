// The Windows launcher's entry: the wide WinMain of a graphical-subsystem
// program.  Its arguments are not used: the launcher reads its command line
// from the system.
#include "launcher/launcher.h"
#include "platform/platform.h"

extern "C" int __stdcall wWinMain(void*, void*, wchar_t*, int) {
  uint32_t exit_code = launcher_main();
  platform_await_console_event();
  return (int)exit_code;
}
