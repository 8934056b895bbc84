// Console control events, and no dialogs: abort and crashes end the
// process at once.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>
#include <stdio.h>
#include <signal.h>
#include <stdlib.h>

#include "platform/win32/shared.h"

static platform_console_handler ConsoleHandler;
// Events being handled, and whether one of them is ending the launcher.
static volatile LONG ConsoleEventsPending;
static volatile LONG ConsoleEventEnding;

// The console control codes that stand for an event the launcher handles.
static bool event_for_code(DWORD code, platform_console_event* event) {
  switch (code) {
    case CTRL_C_EVENT: *event = PLATFORM_CONSOLE_INTERRUPT; return true;
    case CTRL_BREAK_EVENT: *event = PLATFORM_CONSOLE_BREAK; return true;
    case CTRL_CLOSE_EVENT: *event = PLATFORM_CONSOLE_CLOSE; return true;
    case CTRL_LOGOFF_EVENT: *event = PLATFORM_CONSOLE_LOGOFF; return true;
    case CTRL_SHUTDOWN_EVENT: *event = PLATFORM_CONSOLE_SHUTDOWN; return true;
    default: return false;
  }
}

// FALSE passes the event on to the next handler in the chain, by default the
// system's, which ends the launcher; TRUE, where the launcher's handler keeps
// the event, ends its course here.
static BOOL WINAPI on_console_event(DWORD code) {
  platform_console_event event;
  if (!event_for_code(code, &event)) return FALSE;
  InterlockedIncrement(&ConsoleEventsPending);
  if (ConsoleHandler(event)) {
    InterlockedDecrement(&ConsoleEventsPending);
    return TRUE;
  }
  InterlockedExchange(&ConsoleEventEnding, 1);
  return FALSE;
}

bool platform_register_console_handler(platform_console_handler handler) {
  ConsoleHandler = handler;
  return SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

// Nothing of the C run-time's abort: no message box, no report, at once.
// What the launcher wrote before goes out first.
void platform_abort(void) {
  fflush(stdout);
  fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 3);
  _exit(3);
}

static void on_abort_signal(int) {
  platform_abort();
}

// A crash ends the launcher with the exception's code, as it would after the
// system's report, without the report's window.
static LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* exception) {
  TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

// The process-wide error mode the launcher was given, where it had to change
// that one (Windows Vista).
static UINT GivenErrorMode;
static bool ErrorModeChanged;

// Turns the system's boxes for an unready drive off on this thread only
// (SetThreadErrorMode).  Windows Vista, which the manifest names, lacks the
// per-thread mode (it came with Windows 7), so the call is looked up rather
// than imported, which would keep the launcher from loading there; Vista
// gets the process-wide mode instead, given back before the child starts.
static void refuse_drive_prompts(void) {
  const UINT wanted = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
  typedef DWORD(WINAPI * get_thread_mode_function)(void);
  typedef BOOL(WINAPI * set_thread_mode_function)(DWORD, LPDWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  get_thread_mode_function get_thread_mode =
      kernel != nullptr ? (get_thread_mode_function)(void*)GetProcAddress(kernel, "GetThreadErrorMode")
                        : nullptr;
  set_thread_mode_function set_thread_mode =
      kernel != nullptr ? (set_thread_mode_function)(void*)GetProcAddress(kernel, "SetThreadErrorMode")
                        : nullptr;
  if (get_thread_mode != nullptr && set_thread_mode != nullptr) {
    set_thread_mode(get_thread_mode() | wanted, nullptr);
    return;
  }
  GivenErrorMode = SetErrorMode(wanted);
  SetErrorMode(GivenErrorMode | wanted);
  ErrorModeChanged = true;
}

void give_back_error_mode(void) {
  if (ErrorModeChanged) SetErrorMode(GivenErrorMode);
  ErrorModeChanged = false;
}

// A windowless launcher may run unattended, so nothing may wait on a click.
// The C run-time writes its abort text to standard error instead of a
// message box and leaves through platform_abort; the system's boxes for an
// unready drive are off while the launcher unpacks.  The error mode that the
// child inherits is the one the launcher was given: the application keeps
// its own crash reports and drive prompts.
void platform_refuse_dialogs(void) {
  _set_error_mode(_OUT_TO_STDERR);
  signal(SIGABRT, on_abort_signal);
  refuse_drive_prompts();
  SetUnhandledExceptionFilter(on_unhandled_exception);
}

// The system's default handling ends the launcher once the handler has
// passed the event on; give it the time to do so rather than race it with
// the child's exit code.
void platform_await_console_event(void) {
  while (ConsoleEventEnding == 0 && ConsoleEventsPending != 0) Sleep(10);
  for (int waited = 0; ConsoleEventEnding != 0 && waited < 10000; waited += 50) {
    Sleep(50);
  }
}

#endif
