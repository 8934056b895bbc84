// The Windows tool's interrupt handling, driven as a console event would
// drive it: zovari-pack-interrupt-driver MODE OUTPUT, with a temporary
// folder holding an open file (as the payload is while written) and a
// temporary output beside OUTPUT, both being written.  Prints the folder.
//   stop:    an event while both are written: the working thread stops at
//            its next write, everything temporary goes, OUTPUT is kept, and
//            the process ends as an interrupted one (0xC000013A).
//   finish:  an event once OUTPUT is in place: the program finishes (exit 0).
//   stuck:   an event while the working thread writes no more: the handler
//            removes what it can and ends the process.
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>

#include "pack/system/cleanup.h"
#include "pack/system/cleanup_for_tests.h"
#include "pack/system/temporary_output.h"

using namespace zovari;

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const std::wstring mode = argv[1];
  remove_temporary_on_signals();
  try {
    TemporaryFolder work;
    TemporaryOutput inside(work.path() / L"payload.bin");
    TemporaryOutput output(argv[2]);
    std::printf("%s\n", work.path().u8string().c_str());
    std::fflush(stdout);
    if (mode == L"finish") {
      output.write("new", 3);
      output.commit();
      interrupt_for_tests();
      std::puts("finished");
      return 0;
    }
    std::thread(interrupt_for_tests).detach();
    for (;;) {
      if (mode == L"stuck") Sleep(INFINITE);
      inside.write("x", 1);
      output.write("x", 1);
      Sleep(1);
    }
  } catch (const Interrupted&) {
    end_interrupted();
  }
}
