/* The quick start's floor on Linux: one fstatat of each file of a list, its
 * link not followed, then the main binary started directly and waited for.
 * A launcher built with --quick-start does no less on a warm start.  With
 * --folders, also one fstatat of each folder on the way to a file, as the
 * launcher looks at each to know that no folder became a link: the floor of
 * the check it makes.
 *
 * Usage: metadata_floor [--folders] ROOT LIST MAIN
 * LIST holds one path relative to ROOT per line.  Prints the file count and
 * the XOR of their change times, so that the work cannot be left out. */
#include <fcntl.h>
#include <stdlib.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

/* The folders looked at already: the list need not come sorted. */
enum { FOLDER_SLOTS = 1 << 16 };
static char* Seen[FOLDER_SLOTS];

static int seen_before(const char* folder) {
  unsigned long hash = 5381;
  for (const char* c = folder; *c != 0; ++c) hash = hash * 33 + (unsigned char)*c;
  for (unsigned long slot = hash % FOLDER_SLOTS;; slot = (slot + 1) % FOLDER_SLOTS) {
    if (Seen[slot] == NULL) {
      Seen[slot] = strdup(folder);
      return 0;
    }
    if (strcmp(Seen[slot], folder) == 0) return 1;
  }
}

/* Looks once at each folder on the way to path. */
static int stat_new_folders(int root, char* path) {
  for (char* slash = strchr(path, '/'); slash != NULL; slash = strchr(slash + 1, '/')) {
    *slash = 0;
    struct stat status;
    int failed = !seen_before(path) &&
                 (fstatat(root, path, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode));
    *slash = '/';
    if (failed) return -1;
  }
  return 0;
}

int main(int argc, char** argv) {
  int folders = argc == 5 && strcmp(argv[1], "--folders") == 0;
  argv += folders;
  argc -= folders;
  if (argc != 4) {
    fprintf(stderr, "usage: metadata_floor [--folders] ROOT LIST MAIN\n");
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
    if ((folders && stat_new_folders(root, line) != 0) ||
        fstatat(root, line, &status, AT_SYMLINK_NOFOLLOW) != 0) {
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
