/* Runs one Windows command and reports its wall time.
 *
 * Usage: starter_win32 COMMAND [ARG]...
 * The rest of the command line is passed as it stands; the command's
 * standard output goes to NUL.  Prints "wall_ns exit_code" on one line.  Under Wine every Windows command of the benchmark
 * runs through this program, so that each pays the same process start, and
 * none pays for Wine's own start-up. */
#include <stdio.h>
#include <windows.h>

static wchar_t* after_first_argument(wchar_t* line) {
  int quoted = 0;
  for (; *line && (quoted || (*line != L' ' && *line != L'\t')); ++line) {
    if (*line == L'"') quoted = !quoted;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

int wmain(void) {
  wchar_t* command = after_first_argument(GetCommandLineW());
  if (*command == 0) {
    fprintf(stderr, "usage: starter_win32 COMMAND [ARG]...\n");
    return 2;
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
  HANDLE null_output = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, NULL);
  STARTUPINFOW startup = {sizeof startup};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = null_output;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child;
  LARGE_INTEGER frequency, started, ended;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&started);
  if (!CreateProcessW(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child)) {
    fprintf(stderr, "starter_win32: cannot start %ls (error %lu)\n", command, GetLastError());
    return 2;
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  QueryPerformanceCounter(&ended);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  long long nanoseconds = (ended.QuadPart - started.QuadPart) * 1000000000LL / frequency.QuadPart;
  printf("%lld %lu\n", nanoseconds, (unsigned long)code);
  return 0;
}
