// The unit tests' entry: GoogleTest, with the platform told of the arguments
// where it keeps them itself.
#include <gtest/gtest.h>

#include <stdio.h>

#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>

// A crash must fail the run.  Left to Wine, an unhandled exception starts
// its debugger, and in a fresh prefix the process then ends with code 0, so
// a run cut short by a fault read as a pass.
static LONG WINAPI on_crash(EXCEPTION_POINTERS* exception) {
  DWORD code = exception->ExceptionRecord->ExceptionCode;
  fprintf(stderr, "unit tests: unhandled exception 0x%08lx\n", (unsigned long)code);
  fflush(stderr);
  TerminateProcess(GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  SetUnhandledExceptionFilter(on_crash);
#endif
  platform_keep_arguments(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
