// The Windows launcher's entry: wmain, which the wide C run-time start-up
// (-municode) calls for both subsystems, so one runtime serves the console
// launcher and the windowless one; the link step picks the subsystem.  Its
// arguments are not used: the launcher reads its command line from the
// system.
#include <windows.h>
#include <signal.h>
#include <stdlib.h>

#include "launcher/launcher.h"
#include "platform/platform.h"

static void on_abort_signal(int) {
  platform_abort();
}

// A crash ends the launcher with the exception's code, as it would after the
// system's report, without the report's window.
static LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* exception) {
  TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

// A windowless launcher may run unattended, so nothing may wait on a click.
// The C run-time writes its abort text to standard error instead of a
// message box and leaves through platform_abort; the system's boxes for an
// unready drive are off on this thread only.  The process-wide error mode
// (SetErrorMode) is left alone: the child inherits it, and the application
// would lose its own crash reports and drive prompts.
static void refuse_dialogs(void) {
  _set_error_mode(_OUT_TO_STDERR);
  signal(SIGABRT, on_abort_signal);
  SetThreadErrorMode(GetThreadErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX,
                     nullptr);
  SetUnhandledExceptionFilter(on_unhandled_exception);
}

extern "C" int wmain(int, wchar_t**) {
  refuse_dialogs();
  uint32_t exit_code = launcher_main();
  platform_await_console_event();
  return (int)exit_code;
}
