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
#include <windows.h>
#include <stdio.h>
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
  WaitForSingleObject(information.hProcess, INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(information.hProcess, &code)) {
    fprintf(stderr, "exitcode: cannot read the exit code (error %lu)\n", GetLastError());
    return 125;
  }
  CloseHandle(information.hProcess);

  std::wstring path;
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
