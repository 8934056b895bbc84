// Files: creating and writing them without following a link or writing
// through another name, and reading one in pieces for its checksum.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/creation_mask.h"
#include "platform/posix/shared.h"

// The user the launcher runs as, asked once: every file and folder below
// the target directory is compared with it.
static uid_t the_user(void) {
  static const uid_t user = geteuid();
  return user;
}

bool owner_trusted(const struct stat* status) {
  return status->st_uid == the_user() || status->st_uid == 0;
}

// What the launcher's files never allow: another account's write, through
// the group (which may have other members, or stand for an access list's
// mask) or for everyone.  A file that allows it could be changed after it is
// checked, so it never counts as current, and it is replaced.
static const mode_t OTHERS_WRITE = S_IWGRP | S_IWOTH;

// Whether what stands at a file's place may be written over where it is: a
// plain file of the user's with no other name (whose contents must not
// change under it), that the user may write and nobody else may.  Anything
// else is replaced: a link, a named pipe (which would take the contents to a
// reader), a device, a socket, another account's file, a read-only one.
static bool fit_to_write_over(const struct stat* status) {
  return S_ISREG(status->st_mode) && status->st_uid == the_user() && status->st_nlink == 1 &&
         (status->st_mode & S_IWUSR) != 0 && (status->st_mode & OTHERS_WRITE) == 0;
}

// Removes what stands at leaf and makes a new file there, never opening the
// old one.  A folder there is removed when it is empty; one that holds
// anything stays, and the open fails: what lies in it may be the user's.
static int replace_file(int folder, const char* leaf, int flags, mode_t mode, bool* made) {
  *made = true;
  if (unlinkat(folder, leaf, 0) != 0 && errno != ENOENT) {
    if (errno != EISDIR || unlinkat(folder, leaf, AT_REMOVEDIR) != 0) return -1;
  }
  return openat(folder, leaf, flags | O_CREAT | O_EXCL, mode);
}

// Opens the file at leaf for writing, length 0.  A new name costs one open,
// as before; an existing file is looked at before it is opened, so that no
// pipe or device is ever opened, and written over only when it is fit to be,
// replaced otherwise.  The folder is the user's alone, so only the user's own
// programs can change what stands there meanwhile; what the open finds is
// looked at once more all the same.
// *made tells whether the file is a new one.
static int open_for_writing(int folder, const char* leaf, int flags, mode_t mode, bool* made) {
  *made = true;
  int fd = openat(folder, leaf, flags | O_CREAT | O_EXCL, mode);
  if (fd >= 0 || errno != EEXIST) return fd;
  *made = false;
  struct stat status;
  if (fstatat(folder, leaf, &status, AT_SYMLINK_NOFOLLOW) != 0 || !fit_to_write_over(&status)) {
    return replace_file(folder, leaf, flags, mode, made);
  }
  fd = openat(folder, leaf, flags);
  if (fd < 0) {
    int failure = errno;
    if (fstatat(folder, leaf, &status, AT_SYMLINK_NOFOLLOW) != 0 || !fit_to_write_over(&status)) {
      return replace_file(folder, leaf, flags, mode, made);
    }
    errno = failure;
    return -1;
  }
  struct stat opened;
  if (fstat(fd, &opened) != 0) {
    close(fd);
    return -1;
  }
  if (!fit_to_write_over(&opened) || opened.st_ino != status.st_ino || opened.st_dev != status.st_dev) {
    close(fd);
    return replace_file(folder, leaf, flags, mode, made);
  }
  if (ftruncate(fd, 0) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Descriptors are stored one up, so that a handle of 0 never names a file
// even when descriptor 0 is free.
platform_handle platform_create_file(const wchar_t* path, bool executable, bool) {
  const char* leaf;
  int folder = folder_holding(path, &leaf);
  if (leaf == nullptr) {
    errno = ENAMETOOLONG;
    return 0;
  }
  mode_t mode = file_creation_mode(executable);
  // O_NONBLOCK: a named pipe put in place between the look and the open
  // fails the open instead of waiting for a reader; it changes nothing for a
  // regular file.  O_NOFOLLOW: a symbolic link put there meanwhile fails the
  // open, never written through.
  const int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;
  bool made;
  int fd = open_for_writing(folder, leaf, flags, mode, &made);
  if (fd < 0) return 0;
  // What is open is a regular file, for which O_NONBLOCK changes nothing.  A
  // new one has its mode from its making, unless the umask took away what
  // root's files keep (a default access list can only take rights away);
  // one written over keeps its old mode through the truncation, and gets the
  // right one here.
  if (!made || (mode & file_creation_mask()) != 0) fchmod(fd, mode);
  return (platform_handle)fd + 1;
}

bool platform_write_file(platform_handle file, const void* data, uint32_t size) {
  const char* next = (const char*)data;
  while (size > 0) {
    ssize_t written = write((int)(file - 1), next, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    next += written;
    size -= (uint32_t)written;
  }
  return true;
}

void platform_close_file(platform_handle file) {
  close((int)(file - 1));
}

// Contents are read, not mapped: another launcher may truncate the file
// while it is being checked, which a mapping would answer with SIGBUS.  One
// buffer serves, since only the launcher's own thread checks files.
static const size_t READ_PIECE = 256 * 1024;
static unsigned char ReadBuffer[READ_PIECE];

bool platform_open_reader(const wchar_t* path, platform_file_reader* reader) {
  const char* name;
  int folder = folder_holding(path, &name);
  if (name == nullptr) return false;
  // O_NONBLOCK: a named pipe must not wait for a writer before fstat says
  // it is no regular file.
  // O_NOFOLLOW: a symbolic link has no contents of its own here, so it
  // never matches and is replaced by the file it stands in for.
  // O_NOCTTY: a terminal there never becomes the launcher's.
  int fd = openat(folder, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
  if (fd < 0) return false;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0 ||
      !owner_trusted(&status) || (status.st_mode & OTHERS_WRITE) != 0) {
    close(fd);
    return false;
  }
  // A file read in one piece gets nothing from a larger read-ahead.
  if (status.st_size > (off_t)READ_PIECE) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  reader->data = nullptr;
  reader->size = 0;
  reader->file = (platform_handle)fd + 1;
  reader->offset = 0;
  reader->length = (uint64_t)status.st_size;
  return true;
}

bool platform_is_empty_file(const wchar_t* path) {
  const char* name;
  int folder = folder_holding(path, &name);
  struct stat status;
  return name != nullptr && fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(status.st_mode) && status.st_size == 0 && owner_trusted(&status) &&
         (status.st_mode & OTHERS_WRITE) == 0;
}

// Reads up to the length seen at the open and no further, which spares the
// read that would only find the end.  A file that has shrunk meanwhile ends
// early and counts as a failure, so its checksum is 0 and it is written again.
bool platform_read_next(platform_file_reader* reader, bool* failed) {
  if (reader->offset >= reader->length) return false;
  uint64_t left = reader->length - reader->offset;
  size_t wanted = left < READ_PIECE ? (size_t)left : READ_PIECE;
  for (;;) {
    ssize_t got = read((int)(reader->file - 1), ReadBuffer, wanted);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *failed = true;
      return false;
    }
    reader->data = ReadBuffer;
    reader->size = (uint64_t)got;
    reader->offset += (uint64_t)got;
    return true;
  }
}

void platform_close_reader(platform_file_reader* reader) {
  close((int)(reader->file - 1));
  reader->data = nullptr;
  reader->size = 0;
}

void platform_release_pages(const void* start, size_t length) {
  static const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
  uintptr_t first = ((uintptr_t)start + page - 1) & ~(page - 1);
  uintptr_t end = ((uintptr_t)start + length) & ~(page - 1);
  if (end > first) madvise((void*)first, end - first, MADV_DONTNEED);
}

#endif
