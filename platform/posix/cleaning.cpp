// The records beside cache folders, and setting a folder aside for its
// removal, for a launcher built to clean its cache.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/shared.h"

// The launcher's thread takes its hold before its child starts, and only
// then does the cleaning thread begin; these buffers are not narrow's, which
// the launcher's thread uses meanwhile.
static char HoldPath[UTF8_CAPACITY];
static char CleanPath[UTF8_CAPACITY];
static char CleanAside[UTF8_CAPACITY];

// How long a hold waits for a removal that has taken the record.  It sets
// the folder and the record aside at once, so only a removal stopped in
// between (Ctrl+Z) comes near this; after it the start goes on unheld, as
// after the unpacking lock's wait.
static const int64_t HOLD_WAIT_NANOSECONDS = 20000000000;

// A record is trusted as the quick start's stamp is: a regular file with one
// link, of this user's, that nobody else can write.
static bool sound_record(const struct stat* status) {
  return S_ISREG(status->st_mode) && status->st_nlink == 1 && status->st_uid == geteuid() &&
         (status->st_mode & 022) == 0;
}

// Whether path still names the file open as fd: a removal renames a record
// aside only while it holds it whole.
static bool still_there(int fd, const char* path) {
  struct stat open_status, path_status;
  return fstat(fd, &open_status) == 0 && lstat(path, &path_status) == 0 &&
         open_status.st_dev == path_status.st_dev && open_status.st_ino == path_status.st_ino;
}

platform_handle platform_hold_record(const wchar_t* path) {
  if (!narrow_into(path, HoldPath, sizeof HoldPath)) return 0;
  int64_t deadline = platform_performance_counter() + HOLD_WAIT_NANOSECONDS;
  for (;;) {
    int fd = open(HoldPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    struct stat status;
    if (fstat(fd, &status) != 0 || !sound_record(&status)) {
      close(fd);
      return 0;
    }
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
      if (still_there(fd, HoldPath)) return (platform_handle)fd + 1;
    } else if (errno != EWOULDBLOCK && errno != EINTR) {
      close(fd);
      return 0;
    }
    close(fd);
    if (platform_performance_counter() >= deadline) return 0;
    struct timespec pause = {0, 10 * 1000000};
    nanosleep(&pause, nullptr);
  }
}

bool platform_read_record(platform_handle record, unsigned char* data, size_t size) {
  int fd = (int)(record - 1);
  struct stat status;
  return fstat(fd, &status) == 0 && (uint64_t)status.st_size == size &&
         pread(fd, data, size, 0) == (ssize_t)size;
}

bool platform_write_record(platform_handle record, const unsigned char* data, size_t size) {
  int fd = (int)(record - 1);
  return pwrite(fd, data, size, 0) == (ssize_t)size && ftruncate(fd, (off_t)size) == 0;
}

void platform_release_record(platform_handle record) {
  close((int)(record - 1));
}

platform_handle platform_claim_record(const wchar_t* path) {
  if (!narrow_into(path, CleanPath, sizeof CleanPath)) return 0;
  int fd = open(CleanPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat status;
  if (fstat(fd, &status) != 0 || !sound_record(&status) || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      !still_there(fd, CleanPath)) {
    close(fd);
    return 0;
  }
  return (platform_handle)fd + 1;
}

// Splits a path into its folder, opened, and its last component.
static int open_parent(char* path, const char** name) {
  char* last = strrchr(path, '/');
  if (last == nullptr || last[1] == 0) return -1;
  *name = last + 1;
  *last = 0;
  int parent = open(last == path ? "/" : path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  *last = '/';
  return parent;
}

// The name at aside, which lies in the same folder as path.
static const char* last_component(const char* path) {
  const char* last = strrchr(path, '/');
  return last == nullptr ? path : last + 1;
}

platform_aside_result platform_set_folder_aside(const wchar_t* path, const wchar_t* aside) {
  if (!narrow_into(path, CleanPath, sizeof CleanPath) || !narrow_into(aside, CleanAside, sizeof CleanAside)) {
    return PLATFORM_ASIDE_REFUSED;
  }
  const char* name;
  int parent = open_parent(CleanPath, &name);
  if (parent < 0) return PLATFORM_ASIDE_REFUSED;
  platform_aside_result result = PLATFORM_ASIDE_REFUSED;
  struct stat status;
  if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) result = PLATFORM_ASIDE_MISSING;
  } else if (S_ISDIR(status.st_mode) && status.st_uid == geteuid() &&
             renameat2(parent, name, parent, last_component(CleanAside), RENAME_NOREPLACE) == 0) {
    result = PLATFORM_ASIDE_DONE;
  }
  close(parent);
  return result;
}

void platform_remove_record(platform_handle record, const wchar_t* path) {
  if (narrow_into(path, CleanPath, sizeof CleanPath) && still_there((int)(record - 1), CleanPath)) {
    unlink(CleanPath);
  }
  platform_release_record(record);
}

// An entry as getdents64 gives it: the library's directory walk allocates.
struct listed_entry {
  uint64_t inode;
  int64_t offset;
  unsigned short length;
  unsigned char type;
  char name[1];
};

bool platform_list_folder(const wchar_t* folder, bool (*visit)(const wchar_t* name, void* context),
                          void* context) {
  if (!narrow_into(folder, CleanPath, sizeof CleanPath)) return false;
  int fd = open(CleanPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  alignas(8) static char buffer[4096];
  static wchar_t name[NAME_MAX + 1];
  for (bool going = true; going;) {
    long got = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (got <= 0) break;
    for (long at = 0; at < got && going;) {
      const listed_entry* entry = (const listed_entry*)(buffer + at);
      at += entry->length;
      if (strcmp(entry->name, ".") == 0 || strcmp(entry->name, "..") == 0) continue;
      if (widen(entry->name, name, NAME_MAX + 1) == (size_t)-1) continue;
      going = visit(name, context);
    }
  }
  close(fd);
  return true;
}

#endif
