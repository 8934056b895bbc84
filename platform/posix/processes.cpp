// Starting the child (vfork and exec), waits that do not reap it, and
// ending as it ended.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/shared.h"

extern char** environ;

// A SIGCHLD that the launcher's parent set to be ignored would have the
// kernel reap the child at once, leaving no exit code to read and a process
// id free for reuse.  The launcher takes the default for itself and gives the
// child the ignored disposition back, as a direct start would have.
static bool take_child_signal(void) {
  struct sigaction current;
  if (sigaction(SIGCHLD, nullptr, &current) != 0) return false;
  bool ignored = current.sa_handler == SIG_IGN;
  if (ignored || (current.sa_flags & SA_NOCLDWAIT) != 0) {
    struct sigaction fallback;
    memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGCHLD, &fallback, nullptr);
  }
  return ignored;
}

// vfork and exec, as posix_spawn does, with one step it lacks: setting a
// signal to be ignored.  Every signal stays blocked until the new program is
// in place, so no handler of the launcher runs in the child; the console
// signals and SIGXFSZ go back to what the launcher was given, and so does
// the set of blocked signals.
static int spawn(pid_t* pid, const char* path, char** vector, bool ignore_child_signal) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pid_t started = vfork();
  if (started == 0) {
    for (int signal_number : ConsoleSignals) {
      struct sigaction current;
      if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
        signal(signal_number, SIG_DFL);
      }
    }
    if (ignore_child_signal) signal(SIGCHLD, SIG_IGN);
    if (!FileSizeSignalIgnored) signal(SIGXFSZ, SIG_DFL);
    sigprocmask(SIG_SETMASK, &InheritedMask, nullptr);
    execve(path, vector, environ);
    int failure = errno;
    ssize_t ignored = write(report[1], &failure, sizeof failure);
    (void)ignored;
    _exit(127);
  }
  int failure = started < 0 ? errno : 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  close(report[1]);
  if (started > 0) {
    // Nothing to read: the program is running.  An errno: exec failed.
    ssize_t got;
    while ((got = read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    if (got == (ssize_t)sizeof failure) {
      int status;
      while (waitpid(started, &status, 0) < 0 && errno == EINTR) {
      }
    } else {
      failure = 0;
    }
  }
  close(report[0]);
  *pid = started;
  return failure;
}

bool platform_start_child(const wchar_t* application, wchar_t*, wchar_t* const* arguments,
                          int count, platform_handle* process) {
  char* path = narrow_copy(application);
  char** vector = (char**)calloc((size_t)count + 1, sizeof(char*));
  if (path == nullptr || vector == nullptr) {
    errno = ENOMEM;
    return false;
  }
  int used = 0;
  for (int i = 0; i < count; ++i) {
    if (i > 0 && arguments[i][0] == 0) continue;  // empty ones are dropped
    vector[used] = narrow_copy(arguments[i]);
    if (vector[used] == nullptr) {
      errno = ENOMEM;
      return false;
    }
    ++used;
  }
  pid_t pid = 0;
  int result = spawn(&pid, path, vector, take_child_signal());
  if (result != 0) {
    errno = result;
    return false;
  }
  *process = (platform_handle)pid;
  return true;
}

// Waits, or polls, for the child's end without reaping it, so that its id
// cannot pass to another process while the handler may still signal it.
static bool child_has_ended(pid_t pid, int flags, siginfo_t* info) {
  for (;;) {
    memset(info, 0, sizeof *info);
    if (waitid(P_PID, (id_t)pid, info, WEXITED | WNOWAIT | flags) == 0) {
      return info->si_pid == pid;
    }
    if (errno != EINTR) return false;
  }
}

bool platform_wait_process(platform_handle process, uint32_t milliseconds) {
  siginfo_t info;
  pid_t pid = (pid_t)process;
  if (milliseconds == PLATFORM_WAIT_FOREVER) return child_has_ended(pid, 0, &info);
  int64_t deadline = platform_performance_counter() + (int64_t)milliseconds * 1000000;
  for (;;) {
    if (child_has_ended(pid, WNOHANG, &info)) return true;
    if (platform_performance_counter() >= deadline) return false;
    struct timespec pause = {0, 10 * 1000000};
    nanosleep(&pause, nullptr);
  }
}

// The signal that ended the child, once its exit code has been read; 0 when
// it exited.
static int ChildEndSignal;

bool platform_process_exit_code(platform_handle process, uint32_t* code) {
  siginfo_t info;
  if (!child_has_ended((pid_t)process, WNOHANG, &info)) return false;
  if (info.si_code == CLD_EXITED) {
    *code = (uint32_t)info.si_status;
  } else {
    *code = 128 + (uint32_t)info.si_status;
    ChildEndSignal = info.si_status;
  }
  return true;
}

void platform_terminate_process(platform_handle process, uint32_t) {
  kill((pid_t)process, SIGKILL);
}

void platform_release_process(platform_handle process) {
  int status;
  while (waitpid((pid_t)process, &status, 0) < 0 && errno == EINTR) {
  }
}

// What the kernel takes for a signal's action (rt_sigaction): the C
// library's own calls refuse signals 32 and 33, which it keeps for its
// threads, and a child may end by them all the same.
struct kernel_signal_action {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)(void);
  uint64_t mask;
};

// The signal's own default action ends the launcher, so that its parent sees
// what a direct start shows (a shell's "Killed", -9 in Python).  The
// launcher leaves no core of its own: one from the child is the child's, and
// the parent sees the launcher's status without the core flag.  The kernel
// is asked directly, so that any signal the kernel has ends it, 32 and 33
// too.  A signal whose default action does not end a process cannot have
// ended the child; should the launcher live on all the same, the exit code
// stands.
void platform_end_as_the_child_ended(void) {
  if (ChildEndSignal == 0) return;
  prctl(PR_SET_DUMPABLE, 0);
  fflush(nullptr);
  kernel_signal_action action;
  memset(&action, 0, sizeof action);
  action.handler = SIG_DFL;
  syscall(SYS_rt_sigaction, ChildEndSignal, &action, nullptr, sizeof action.mask);
  uint64_t only = (uint64_t)1 << (ChildEndSignal - 1);
  syscall(SYS_rt_sigprocmask, SIG_UNBLOCK, &only, nullptr, sizeof only);
  syscall(SYS_tgkill, (pid_t)getpid(), (pid_t)syscall(SYS_gettid), ChildEndSignal);
}

static void* run_thread(void* run) {
  ((void (*)(void))run)();
  return nullptr;
}

bool platform_start_thread(void (*run)(void)) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  // Threads begin with the signals their maker blocks; a thread of the
  // launcher's own takes none of the stop signals meant for the launcher.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  pthread_t thread;
  int started = pthread_create(&thread, &attributes, run_thread, (void*)run);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  pthread_attr_destroy(&attributes);
  return started == 0;
}

void platform_sleep(uint32_t milliseconds) {
  struct timespec pause = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

#endif
