/* The benchmark application's main binary on Windows: exits with 0 at once,
 * so that a launcher run measures unpacking and not the application.  No C
 * run-time at all: its start-up would be counted in every run.
 *
 * When ZOVARI_BENCH_PEAK names a file, it first writes there the peak working
 * set of the launcher that started it (ZOVARI_ONEFILE_PARENT), in bytes: the
 * launcher still runs then, its unpacking done, while after its end neither
 * Windows nor Wine keeps the figure for long. */
#include <windows.h>
#include <psapi.h>

static DWORD parse_number(const wchar_t* text) {
  DWORD value = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) value = value * 10 + (DWORD)(*text - L'0');
  return value;
}

static void report_parent_peak(void) {
  wchar_t report[1024], parent[32];
  if (GetEnvironmentVariableW(L"ZOVARI_BENCH_PEAK", report, 1024) - 1 >= 1023) return;
  if (GetEnvironmentVariableW(L"ZOVARI_ONEFILE_PARENT", parent, 32) - 1 >= 31) return;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE,
                               parse_number(parent));
  if (process == NULL) return;
  PROCESS_MEMORY_COUNTERS memory = {sizeof memory};
  BOOL known = K32GetProcessMemoryInfo(process, &memory, sizeof memory);
  CloseHandle(process);
  if (!known) return;
  char digits[32];
  int length = 0;
  unsigned long long value = memory.PeakWorkingSetSize;
  do {
    digits[31 - length++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  HANDLE file = CreateFileW(report, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(file, digits + 32 - length, (DWORD)length, &written, NULL);
  CloseHandle(file);
}

void start(void) {
  report_parent_peak();
  ExitProcess(0);
}
