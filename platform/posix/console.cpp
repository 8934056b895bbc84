// The console signals: handed to a thread of their own, passed on to the
// child, then let take their default course unless the launcher's handler
// keeps them.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/shared.h"

// The console signals.  The handler only writes the signal to a pipe; a
// thread of its own reads it and runs the launcher's handler, then lets the
// signal take its default course, or drops it when the handler keeps it.
static int SignalPipe[2] = {-1, -1};
// Signals written to the pipe and not yet dropped (atomic: the signal
// handler counts up, the thread down), and whether one is ending the
// launcher.
static int SignalsPending;
static volatile sig_atomic_t ConsoleEventEnding;
static int CurrentSignal;
static bool CurrentSignalFromTerminal;

static platform_console_handler ConsoleHandler;

static platform_console_event event_for_signal(int signal_number) {
  switch (signal_number) {
    case SIGINT: return PLATFORM_CONSOLE_INTERRUPT;
    case SIGQUIT: return PLATFORM_CONSOLE_BREAK;
    case SIGHUP: return PLATFORM_CONSOLE_CLOSE;
    default: return PLATFORM_CONSOLE_SHUTDOWN;
  }
}

static void on_console_signal(int signal_number, siginfo_t* info, void*) {
  int saved = errno;
  // The terminal's signals come from the kernel and reach the whole process
  // group, the child included; kill() from a process reaches us alone.
  int message[2] = {signal_number, info != nullptr && info->si_code == SI_KERNEL};
  // Counted here, not on the thread: a child that the same Ctrl+C ends may
  // hand the main thread its exit code before the thread has run, and the
  // launcher must then still end by the signal.
  __atomic_add_fetch(&SignalsPending, 1, __ATOMIC_SEQ_CST);
  if (write(SignalPipe[1], message, sizeof message) != (ssize_t)sizeof message) {
    // A full pipe: the signals already in it are enough.
    __atomic_sub_fetch(&SignalsPending, 1, __ATOMIC_SEQ_CST);
  }
  errno = saved;
}

// Reads one signal's message from the pipe; false when the pipe is gone.
static bool next_signal(int message[2]) {
  for (;;) {
    ssize_t got = read(SignalPipe[0], message, 2 * sizeof(int));
    if (got == (ssize_t)(2 * sizeof(int))) return true;
    if (got < 0 && errno == EINTR) continue;
    return false;
  }
}

static void* console_event_thread(void*) {
  int message[2];
  while (next_signal(message)) {
    CurrentSignal = message[0];
    CurrentSignalFromTerminal = message[1] != 0;
    if (ConsoleHandler(event_for_signal(message[0]))) {
      __atomic_sub_fetch(&SignalsPending, 1, __ATOMIC_SEQ_CST);
      continue;
    }
    // The default course: the launcher ends by the very signal it received.
    ConsoleEventEnding = 1;
    signal(message[0], SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, message[0]);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(message[0]);
    for (;;) pause();
  }
  return nullptr;
}

void platform_pass_event_to_child(platform_handle process, platform_console_event) {
  if (!CurrentSignalFromTerminal && CurrentSignal != 0) {
    kill((pid_t)process, CurrentSignal);
  }
}

bool platform_register_console_handler(platform_console_handler handler) {
  ConsoleHandler = handler;
  if (pipe2(SignalPipe, O_CLOEXEC) != 0) return false;
  // A storm of signals that fills the pipe must not block the handler; the
  // first one is all the reading thread needs.
  fcntl(SignalPipe[1], F_SETFL, fcntl(SignalPipe[1], F_GETFL) | O_NONBLOCK);
  // The thread itself takes no console signal; the handler runs elsewhere.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int signal_number : ConsoleSignals) sigaddset(&blocked, signal_number);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  pthread_t thread;
  int started = pthread_create(&thread, nullptr, console_event_thread, nullptr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (started != 0) return false;
  pthread_detach(thread);
  for (int signal_number : ConsoleSignals) {
    struct sigaction current;
    // A signal the launcher's parent chose to ignore (nohup, say) stays
    // ignored, for the launcher and its child alike.
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = on_console_signal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(signal_number, &action, nullptr) != 0) return false;
  }
  return true;
}

void platform_abort(void) {
  abort();
}

void platform_refuse_dialogs(void) {}

void platform_await_console_event(void) {
  while (!ConsoleEventEnding && __atomic_load_n(&SignalsPending, __ATOMIC_SEQ_CST) > 0) {
    struct timespec pause_time = {0, 1000000};
    nanosleep(&pause_time, nullptr);
  }
  if (ConsoleEventEnding) {
    for (;;) pause();
  }
}

#endif
