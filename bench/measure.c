/* Runs one command and reports its wall time, CPU time and peak memory.
 *
 * Usage: measure [-o FILE] [-e NAME=VALUE]... -- COMMAND [ARG]...
 * Prints "wall_ns user_us system_us maxrss_kib exit_code minor_faults" on one
 * line, to
 * FILE or standard error.  The command's standard output goes to /dev/null.
 *
 * This program is small on purpose: a child's peak RSS starts at whatever
 * its parent held when it forked, so the benchmark's Python driver cannot
 * start the commands itself without inflating their memory figures.  The
 * figures cover the command and every descendant it waited for (wait4). */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

int main(int argc, char** argv) {
  const char* report = NULL;
  int i = 1;
  for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
    if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
      report = argv[++i];
    } else if (strcmp(argv[i], "-e") == 0 && i + 1 < argc) {
      putenv(argv[++i]);
    } else {
      fprintf(stderr, "usage: measure [-o FILE] [-e NAME=VALUE]... -- COMMAND [ARG]...\n");
      return 2;
    }
  }
  if (i + 1 >= argc) {
    fprintf(stderr, "measure: no command\n");
    return 2;
  }
  char** command = argv + i + 1;
  int null_fd = open("/dev/null", O_WRONLY);
  long long started = now_ns();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(null_fd, 1);
    execvp(command[0], command);
    _exit(127);
  }
  if (pid < 0) {
    perror("measure: fork");
    return 2;
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) < 0) {
    perror("measure: wait4");
    return 2;
  }
  long long elapsed = now_ns() - started;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  FILE* out = report != NULL ? fopen(report, "w") : stderr;
  if (out == NULL) {
    perror("measure: report");
    return 2;
  }
  fprintf(out, "%lld %lld %lld %ld %d %ld\n", elapsed,
          (long long)usage.ru_utime.tv_sec * 1000000 + usage.ru_utime.tv_usec,
          (long long)usage.ru_stime.tv_sec * 1000000 + usage.ru_stime.tv_usec,
          usage.ru_maxrss, code, usage.ru_minflt);
  fclose(out);
  return 0;
}
