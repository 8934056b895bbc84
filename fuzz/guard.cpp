#include "guard.h"

#include <setjmp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

extern "C" {
[[noreturn]] void __real_exit(int status);
[[noreturn]] void __real_abort(void);
}

static sigjmp_buf GuardJump;
static volatile bool Guarding;
static volatile int GuardStatus;
static volatile guarded_end GuardEnd;

extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (Guarding) {
    GuardEnd = GUARDED_EXITED;
    GuardStatus = status;
    siglongjmp(GuardJump, 1);
  }
  __real_exit(status);
}

extern "C" [[noreturn]] void __wrap_abort(void) {
  if (Guarding) {
    GuardEnd = GUARDED_ABORTED;
    GuardStatus = 0;
    siglongjmp(GuardJump, 1);
  }
  __real_abort();
}

// A designed end keeps what the launcher held (its environment copies, its
// table of directories, the reader), as the end of its process would: that
// is no leak.  Leak checking is off for the fuzz targets.
extern "C" int __lsan_is_turned_off(void) {
  return 1;
}

guarded_result run_guarded(void (*body)(void*), void* context) {
  if (sigsetjmp(GuardJump, 1) == 0) {
    Guarding = true;
    body(context);
    Guarding = false;
    return {GUARDED_RETURNED, 0};
  }
  Guarding = false;
  // The launcher's messages go out before it ends; keep them in order with
  // the fuzzer's own output.
  fflush(stdout);
  fflush(stderr);
  return {GuardEnd, GuardStatus};
}

void fuzz_finding(const char* format, ...) {
  Guarding = false;
  va_list arguments;
  va_start(arguments, format);
  fprintf(stderr, "FINDING: ");
  vfprintf(stderr, format, arguments);
  fprintf(stderr, "\n");
  va_end(arguments);
  fflush(stderr);
  __builtin_trap();
}
