// Starting the child, waiting for it and its exit code.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>

#include "platform/win32/shared.h"

bool platform_start_child(const wchar_t* application, wchar_t* command_line, wchar_t* const*,
                          int, platform_handle* process) {
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION information;
  ZeroMemory(&information, sizeof information);
  give_back_error_mode();
  // The child shares the console (and so its control events), the
  // environment and the current directory.
  if (!CreateProcessW(application, command_line, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                      nullptr, nullptr, &startup, &information)) {
    return false;
  }
  if (information.hThread != nullptr) CloseHandle(information.hThread);
  *process = (platform_handle)information.hProcess;
  return true;
}

bool platform_wait_process(platform_handle process, uint32_t milliseconds) {
  return WaitForSingleObject(as_handle(process), milliseconds) == WAIT_OBJECT_0;
}

bool platform_process_exit_code(platform_handle process, uint32_t* code) {
  DWORD exit_code = 0;
  if (!GetExitCodeProcess(as_handle(process), &exit_code)) return false;
  *code = exit_code;
  return true;
}

void platform_terminate_process(platform_handle process, uint32_t exit_code) {
  TerminateProcess(as_handle(process), exit_code);
}

void platform_release_process(platform_handle process) {
  CloseHandle(as_handle(process));
}

void platform_pass_event_to_child(platform_handle, platform_console_event) {}

void platform_end_as_the_child_ended(void) {}

static DWORD WINAPI run_thread(void* run) {
  ((void (*)(void))run)();
  return 0;
}

bool platform_start_thread(void (*run)(void)) {
  HANDLE thread = CreateThread(nullptr, 0, run_thread, (void*)run, 0, nullptr);
  if (thread == nullptr) return false;
  CloseHandle(thread);
  return true;
}

void platform_sleep(uint32_t milliseconds) {
  Sleep(milliseconds);
}

#endif
