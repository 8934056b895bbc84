// holdfile PATH MILLISECONDS: opens the existing file at PATH without sharing
// it with anyone, as a virus scanner does right after a write, writes "held"
// on standard output once it has it, keeps it that long, then lets it go.
// Exits with 1 when the file cannot be opened.
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 1;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "holdfile: cannot open %ls (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  printf("held\n");
  fflush(stdout);
  Sleep((DWORD)wcstoul(argv[2], nullptr, 10));
  CloseHandle(file);
  return 0;
}
