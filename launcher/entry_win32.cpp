// The Windows launcher's entry: the wide WinMain of a graphical-subsystem
// program.  Its arguments are not used: the launcher reads its command line
// from the system.  The 64-bit Windows calling convention is the C one, so
// the entry is declared with plain types and needs no system header.
#include "launcher/launcher.h"
#include "platform/platform.h"

extern "C" int wWinMain(void*, void*, wchar_t*, int) {
  platform_refuse_dialogs();
  uint32_t exit_code = launcher_main();
  platform_await_console_event();
  return (int)exit_code;
}
