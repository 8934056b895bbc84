// The lock that keeps launchers of one target folder from writing at once.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/shared.h"

// Where this user's locks live: the private runtime folder, XDG_RUNTIME_DIR
// or, where the variable is unset, /run/user/<uid>, where systemd makes it
// (so that a start from a session and one from cron, which has no such
// variable, meet).  The variable is the session's, not another account's,
// but a careless setup may point it anywhere: the folder is taken only when
// it is no link, belongs to this user and lets nobody else in.  Returns its
// descriptor, or -1 when there is no such folder.
static int open_runtime_folder(void) {
  char fallback[32];
  const char* path = getenv("XDG_RUNTIME_DIR");
  if (path != nullptr && path[0] != '/') return -1;  // a relative one counts for nothing
  if (path == nullptr) {
    snprintf(fallback, sizeof fallback, "/run/user/%lu", (unsigned long)geteuid());
    path = fallback;
  }
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status;
  if (fstat(fd, &status) != 0 || status.st_uid != geteuid() || (status.st_mode & 077) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The descriptor whose flock is the folder's lock.  Where this user has a
// private runtime folder, a file there named after the folder's device and
// inode, as the Windows mutex is named after the folder's volume and file
// index: every path that names the folder meets the same one, nothing of the
// launcher's lies among the application's files, and no other account can
// open it, even where the user lets others read the folder.  Elsewhere the
// folder's own descriptor, which any account that may read the folder can
// lock as well (a folder the launcher made is 0700: only this user and
// root).  The kernel drops either lock when the process ends, however it
// ends.  The folder is not opened with O_NOFOLLOW: the chain that leads to
// it, links included, has been judged, and no other account can change it.
//
// A folder of one start is named by no other start (but by one whose {PID}
// or {TIME_US} clashed): its lock is always its own descriptor's, so that
// a start leaves no file behind in the runtime folder, which lives in memory
// until the user logs out, and two clashing starts still meet.
static bool FoldersPerStart;

void platform_lock_folders_per_start(void) {
  FoldersPerStart = true;
}

static int lock_descriptor(const char* folder) {
  int runtime = FoldersPerStart ? -1 : open_runtime_folder();
  if (runtime >= 0) {
    struct stat status;
    char name[64];
    int fd = -1;
    if (stat(folder, &status) == 0) {
      snprintf(name, sizeof name, "zovari-onefile-%llx-%llx.lock", (unsigned long long)status.st_dev,
               (unsigned long long)status.st_ino);
      fd = openat(runtime, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    }
    close(runtime);
    if (fd >= 0) return fd;
  }
  return open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

platform_handle platform_lock_directory(const wchar_t* directory, uint32_t milliseconds) {
  const char* name = narrow(directory);
  if (name == nullptr) return 0;
  int fd = lock_descriptor(name);
  if (fd < 0) return 0;
  int64_t deadline = platform_performance_counter() + (int64_t)milliseconds * 1000000;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || platform_performance_counter() >= deadline) {
      close(fd);
      return 0;
    }
    struct timespec pause = {0, 10 * 1000000};
    nanosleep(&pause, nullptr);
  }
  return (platform_handle)fd + 1;
}

void platform_unlock_directory(platform_handle lock) {
  int fd = (int)(lock - 1);
  flock(fd, LOCK_UN);
  close(fd);
}

#endif
