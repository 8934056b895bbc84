// exitcode: starts one Windows program, waits for it and writes down its exit
// code in all 32 bits.  Under Wine only the low 8 bits of an exit code reach
// Linux, so the end-to-end tests start the launchers through this program.
//
// The command line to start is taken verbatim from ZOVARI_E2E_COMMAND_LINE
// (so that a test controls every quote and space of it), else it is the rest
// of this program's own command line.  The program is found by the system's
// usual search (no application name is passed).  It gets this program's
// standard handles, environment and current directory.
//
// The exit code goes to the file named by ZOVARI_E2E_EXIT_FILE as decimal
// text, or to standard output as "exit code: N" when that is not set.  This
// program itself exits with 0, or with 125 when the program cannot be started.
//
// It also sends console control events as the console does, which no test
// can have Wine do: the console starts a thread in each process attached to
// it at the system's CtrlRoutine, with the event's code, and that thread runs
// the process's handlers and, when all of them return FALSE, the default one.
//   ZOVARI_E2E_EVENT        the code sent, once ZOVARI_E2E_EVENT_AFTER exists
//                           (a path; polled) to the program started, and then,
//                           as the console reaches it too, to the child whose
//                           report (JSON, "pid") is ZOVARI_E2E_EVENT_CHILD_REPORT,
//                           if given
// With a child, the program's own threads stay suspended until its event
// thread has ended, so that its handler, not a main thread that sees the child
// end, decides how it ends.  With a child, what became of it when the program ended goes to
// EXIT_FILE + ".child": its exit code, or "running" (it is then terminated).
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

static bool variable(const wchar_t* name, std::wstring* value) {
  DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  if (needed == 0) return false;
  std::vector<wchar_t> buffer(needed + 1);
  DWORD length = GetEnvironmentVariableW(name, buffer.data(), needed + 1);
  value->assign(buffer.data(), length);
  return true;
}

// The text behind this program's own first argument, split as the system
// does for argument 0: up to the closing quote, or to the first blank.
static std::wstring own_tail() {
  const wchar_t* line = GetCommandLineW();
  if (*line == L'"') {
    ++line;
    while (*line != 0 && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != 0 && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

static bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The "pid" of a report child's report, 0 when there is none yet.
static DWORD reported_pid(const std::wstring& report) {
  FILE* file = _wfopen(report.c_str(), L"rb");
  if (file == nullptr) return 0;
  char text[65536];
  size_t length = fread(text, 1, sizeof text - 1, file);
  fclose(file);
  text[length] = 0;
  const char* found = strstr(text, "\n\"pid\": ");
  return found != nullptr ? (DWORD)strtoul(found + 8, nullptr, 10) : 0;
}

// Suspends (or resumes) every thread of the process.
static void hold_threads(DWORD pid, bool suspend) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != pid) continue;
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    if (suspend) {
      SuspendThread(thread);
    } else {
      ResumeThread(thread);
    }
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
}

// The thread that runs the event in process, or null.
static HANDLE send_event(HANDLE process, DWORD code) {
  LPTHREAD_START_ROUTINE routine =
      (LPTHREAD_START_ROUTINE)(void*)GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine");
  HANDLE thread = routine != nullptr ? CreateRemoteThread(process, nullptr, 0, routine,
                                                          (void*)(ULONG_PTR)code, 0, nullptr)
                                     : nullptr;
  if (thread == nullptr) {
    fprintf(stderr, "exitcode: cannot send the event (error %lu)\n", GetLastError());
  }
  return thread;
}

// Sends the event once its moment has come; the child's handle, or null.
static HANDLE send_event_when_asked(const PROCESS_INFORMATION& started) {
  std::wstring code, after, report;
  if (!variable(L"ZOVARI_E2E_EVENT", &code) || !variable(L"ZOVARI_E2E_EVENT_AFTER", &after)) {
    return nullptr;
  }
  while (!exists(after)) {
    if (WaitForSingleObject(started.hProcess, 5) == WAIT_OBJECT_0) return nullptr;
  }
  HANDLE child = nullptr;
  if (variable(L"ZOVARI_E2E_EVENT_CHILD_REPORT", &report)) {
    DWORD pid = 0;
    while ((pid = reported_pid(report)) == 0) Sleep(5);
    child = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
  }
  DWORD event = (DWORD)wcstoul(code.c_str(), nullptr, 10);
  if (child != nullptr) hold_threads(started.dwProcessId, true);
  HANDLE thread = send_event(started.hProcess, event);
  if (child != nullptr) {
    HANDLE other = send_event(child, event);
    if (other != nullptr) CloseHandle(other);
  }
  if (thread != nullptr) {
    if (child != nullptr) WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  if (child != nullptr) hold_threads(started.dwProcessId, false);
  return child;
}

// Writes down what became of the child once the program has ended.
static void note_child(HANDLE child, const std::wstring& exit_file) {
  DWORD code = 0;
  bool running = WaitForSingleObject(child, 0) != WAIT_OBJECT_0;
  if (running) {
    TerminateProcess(child, 1);
  } else {
    GetExitCodeProcess(child, &code);
  }
  FILE* file = _wfopen((exit_file + L".child").c_str(), L"w");
  if (file == nullptr) return;
  if (running) {
    fprintf(file, "running\n");
  } else {
    fprintf(file, "%lu\n", code);
  }
  fclose(file);
}

int wmain() {
  std::wstring command_line;
  if (!variable(L"ZOVARI_E2E_COMMAND_LINE", &command_line)) command_line = own_tail();
  std::vector<wchar_t> writable(command_line.begin(), command_line.end());
  writable.push_back(0);

  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION information;
  ZeroMemory(&information, sizeof information);
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &information)) {
    fprintf(stderr, "exitcode: cannot start the program (error %lu)\n", GetLastError());
    return 125;
  }
  CloseHandle(information.hThread);
  HANDLE child = send_event_when_asked(information);
  WaitForSingleObject(information.hProcess, INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(information.hProcess, &code)) {
    fprintf(stderr, "exitcode: cannot read the exit code (error %lu)\n", GetLastError());
    return 125;
  }
  CloseHandle(information.hProcess);

  std::wstring path;
  if (child != nullptr && variable(L"ZOVARI_E2E_EXIT_FILE", &path)) note_child(child, path);
  if (variable(L"ZOVARI_E2E_EXIT_FILE", &path)) {
    FILE* file = _wfopen(path.c_str(), L"w");
    if (file == nullptr) return 125;
    fprintf(file, "%lu\n", code);
    fclose(file);
  } else {
    printf("exit code: %lu\n", code);
  }
  return 0;
}
