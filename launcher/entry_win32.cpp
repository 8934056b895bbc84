// The Windows launcher's entry: wmain, which the wide C run-time start-up
// (-municode) calls for both subsystems, so one runtime serves the console
// launcher and the windowless one; the link step picks the subsystem.  Its
// arguments are not used: the launcher reads its command line from the
// system.
#include "launcher/launcher.h"
#include "platform/platform.h"

extern "C" int wmain(int, wchar_t**) {
  platform_refuse_dialogs();
  uint32_t exit_code = launcher_main();
  platform_await_console_event();
  platform_end_as_the_child_ended();
  return (int)exit_code;
}
