// Runs a piece of launcher code in the fuzzer's own process and brings its
// designed ends back as results: exit(status) and abort() are taken over at
// link time (-Wl,--wrap=exit,--wrap=abort) while a guarded call runs, so
// that the fuzzer keeps its coverage and can tell a designed end from a
// crash.  Sanitizer reports and signals are not touched: those stay
// findings.
#ifndef ZOVARI_FUZZ_GUARD_H
#define ZOVARI_FUZZ_GUARD_H

enum guarded_end { GUARDED_RETURNED, GUARDED_EXITED, GUARDED_ABORTED };

struct guarded_result {
  guarded_end end;
  int status;  // the exit status when end is GUARDED_EXITED
};

// Calls body(context); an exit or abort inside it ends the call instead of
// the process.  Not reentrant.
guarded_result run_guarded(void (*body)(void*), void* context);

// Stops the run with a message that libFuzzer reports as a crash, keeping the
// input that caused it.
[[noreturn]] void fuzz_finding(const char* format, ...);

#endif
