// The C run-time's argument vector, and what the launcher's parent gave
// it that a child must get back.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include "platform/posix/shared.h"

static int ArgumentCount;
static char** Arguments;
static wchar_t** WideArguments;

sigset_t InheritedMask;
bool FileSizeSignalIgnored;

// A standard descriptor that was closed at start is taken by a stand-in, so
// that none of the launcher's own files gets its number: an error line would
// land in it.  The stand-in is "/" opened as a bare path, which reads and
// writes nothing (EBADF, as a closed descriptor gives), and it closes on
// exec, so the child finds the descriptor closed, as a direct start leaves it.
static void hold_closed_standard_descriptors(void) {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // A new descriptor takes the lowest free number: fd.
    if (open("/", O_PATH | O_CLOEXEC) < 0) return;
  }
}

// A write past the file size limit (ulimit -f) would end the launcher by
// SIGXFSZ, without a word and with a main binary cut short.  Ignored, the
// write fails with EFBIG and the launcher reports it as any failed write.
static void take_file_size_signal(void) {
  struct sigaction current;
  FileSizeSignalIgnored = sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
  signal(SIGXFSZ, SIG_IGN);
}

void platform_keep_arguments(int count, char** arguments) {
  hold_closed_standard_descriptors();
  sigprocmask(SIG_BLOCK, nullptr, &InheritedMask);
  take_file_size_signal();
  ArgumentCount = count;
  Arguments = arguments;
  // Messages quote paths with %ls, which needs a character type that can
  // spell them.
  setlocale(LC_CTYPE, "C.UTF-8");
}

static wchar_t* widen_copy(const char* text) {
  size_t capacity = strlen(text) + 1;
  wchar_t* copy = (wchar_t*)malloc(capacity * sizeof(wchar_t));
  if (copy != nullptr) widen(text, copy, capacity);
  return copy;
}

wchar_t** platform_launcher_arguments(int* count) {
  if (WideArguments == nullptr && Arguments != nullptr && ArgumentCount > 0) {
    wchar_t** list = (wchar_t**)calloc((size_t)ArgumentCount + 1, sizeof(wchar_t*));
    if (list == nullptr) return nullptr;
    for (int i = 0; i < ArgumentCount; ++i) {
      list[i] = widen_copy(Arguments[i]);
      if (list[i] == nullptr) return nullptr;
    }
    WideArguments = list;
  }
  *count = WideArguments != nullptr ? ArgumentCount : 0;
  return WideArguments;
}

const wchar_t* platform_argument_zero(void) {
  int count = 0;
  wchar_t** list = platform_launcher_arguments(&count);
  return list != nullptr ? list[0] : nullptr;
}

#endif
