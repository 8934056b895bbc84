/* The quick start's floor on Linux: one fstatat of each file of a list, its
 * link not followed, then the main binary started directly and waited for.
 * A launcher built with --quick-start does no less on a warm start.
 *
 * Usage: metadata_floor ROOT LIST MAIN
 * LIST holds one path relative to ROOT per line.  Prints the file count and
 * the XOR of their change times, so that the work cannot be left out. */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: metadata_floor ROOT LIST MAIN\n");
    return 2;
  }
  int root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  FILE* list = fopen(argv[2], "r");
  if (root < 0 || list == NULL) {
    perror("metadata_floor");
    return 1;
  }
  static char line[16384];
  unsigned long files = 0, times = 0;
  while (fgets(line, sizeof line, list) != NULL) {
    line[strcspn(line, "\n")] = 0;
    if (line[0] == 0) continue;
    struct stat status;
    if (fstatat(root, line, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      perror(line);
      return 1;
    }
    times ^= (unsigned long)status.st_ctim.tv_nsec;
    ++files;
  }
  fclose(list);
  pid_t child;
  char* child_argv[] = {argv[3], NULL};
  int status = 0;
  if (posix_spawn(&child, argv[3], NULL, NULL, child_argv, environ) != 0 ||
      waitpid(child, &status, 0) != child || status != 0) {
    fprintf(stderr, "metadata_floor: %s did not run\n", argv[3]);
    return 1;
  }
  printf("%lu %08lx\n", files, times);
  return 0;
}
