// The quick start's facts: each file's metadata read without opening
// it, and the stamp beside the folder.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/shared.h"

static uint64_t nanoseconds(const struct timespec& time) {
  return (uint64_t)time.tv_sec * 1000000000u + (uint64_t)time.tv_nsec;
}

static void take_status(const struct stat& status, platform_file_facts* facts) {
  facts->kind = S_ISREG(status.st_mode)   ? PLATFORM_FACTS_FILE
                : S_ISDIR(status.st_mode) ? PLATFORM_FACTS_FOLDER
                                          : PLATFORM_FACTS_OTHER;
  facts->size = (uint64_t)status.st_size;
  facts->change_time = nanoseconds(status.st_ctim);
  facts->write_time = nanoseconds(status.st_mtim);
  facts->identity = (uint64_t)status.st_ino;
  facts->volume = (uint64_t)status.st_dev;
  facts->access = (uint64_t)status.st_uid << 32 | (uint64_t)status.st_mode;
  facts->guard = (uint64_t)status.st_gid;
}

// A folder's access list, which the full start judges when the folder's
// group may write, folded into its guard; an access list larger than the
// buffer, or one that cannot be read, is a doubt.
static unsigned char AccessList[4096];

static bool fold_access_list(const wchar_t* path, platform_file_facts* facts) {
  const char* name = narrow(path);
  if (name == nullptr) return false;
  ssize_t length = lgetxattr(name, "system.posix_acl_access", AccessList, sizeof AccessList);
  if (length < 0) return errno == ENODATA || errno == ENOTSUP;
  uint64_t digest = 14695981039346656037ull;
  for (ssize_t i = 0; i < length; ++i) digest = (digest ^ AccessList[i]) * 1099511628211ull;
  facts->guard ^= digest ^ (uint64_t)length << 40;
  return true;
}

// The walk's root, opened at its first path: the chain above it has been
// judged, and no other account can change it.  Each path is then looked up
// from it, not from "/".
static int FactsRoot = -1;

bool platform_read_facts(const wchar_t* path, size_t base, size_t, platform_file_facts* facts) {
  if (FactsRoot < 0) {
    if (base == 0 || base > UTF8_CAPACITY / 4) return false;
    static wchar_t root[UTF8_CAPACITY / 4];
    wmemcpy(root, path, base - 1);
    root[base - 1] = 0;
    const char* name = narrow(root);
    if (name == nullptr) return false;
    FactsRoot = open(name, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (FactsRoot < 0) return false;
  }
  const char* name = narrow(path + base);
  struct stat status;
  if (name == nullptr || fstatat(FactsRoot, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
  take_status(status, facts);
  // Without group write in a folder's mode (an access list's mask), no
  // entry of the list can write there, and the full start does not read it.
  if (facts->kind != PLATFORM_FACTS_FOLDER || (status.st_mode & S_IWGRP) == 0) return true;
  return fold_access_list(path, facts);
}

bool platform_handle_facts(platform_handle file, platform_file_facts* facts) {
  struct stat status;
  if (fstat((int)(file - 1), &status) != 0) return false;
  take_status(status, facts);
  return true;
}

uint64_t platform_facts_clock(void) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return nanoseconds(now);
}

// A change time is the coarse clock's last tick, unless the file system
// keeps finer ones for times that were looked at (Linux 6.13 and later, some
// file systems), which cannot be told from here; a tick is taken as 10 ms at
// least.  File systems that keep whole seconds (ext4's small inodes, FAT's
// two) or hundredths round it down further.
bool platform_change_time_settled(uint64_t change_time, uint64_t clock) {
  static uint64_t tick;
  if (tick == 0) {
    struct timespec resolution;
    tick = clock_getres(CLOCK_REALTIME_COARSE, &resolution) == 0 ? nanoseconds(resolution) : 0;
    if (tick < 10000000u) tick = 10000000u;
  }
  uint64_t grain = change_time % 1000000000u == 0 ? 2000000000u
                   : change_time % 10000000u == 0 ? 20000000u
                                                   : tick;
  return change_time <= clock && clock - change_time >= grain;
}

void platform_forget_facts(void) {
  if (FactsRoot >= 0) close(FactsRoot);
  FactsRoot = -1;
}

bool platform_read_stamp(const wchar_t* path, unsigned char* data, size_t size) {
  const char* name = narrow(path);
  if (name == nullptr) return false;
  int fd = open(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat status;
  bool whole = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1 &&
               status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
               status.st_size == (off_t)size && read(fd, data, size) == (ssize_t)size;
  close(fd);
  return whole;
}

static char StampName[UTF8_CAPACITY];

bool platform_write_stamp(const wchar_t* path, const unsigned char* data, size_t size) {
  static const char NEW_SUFFIX[] = ".new";
  if (!narrow_into(path, StampName, UTF8_CAPACITY - sizeof NEW_SUFFIX)) return false;
  const char* fresh = NarrowBuffer;
  memcpy(NarrowBuffer, StampName, strlen(StampName));
  memcpy(NarrowBuffer + strlen(StampName), NEW_SUFFIX, sizeof NEW_SUFFIX);
  unlink(fresh);
  int fd = open(fresh, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool written = write(fd, data, size) == (ssize_t)size;
  close(fd);
  if (written && rename(fresh, StampName) == 0) return true;
  unlink(fresh);
  return false;
}

void platform_remove_stamp(const wchar_t* path) {
  const char* name = narrow(path);
  if (name != nullptr) unlink(name);
}

#endif
