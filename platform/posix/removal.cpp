// Removing a folder's tree without following a link or leaving the folder,
// and the folders a start made for itself, from descriptors held since they
// were made.
//
//   the walk:          empty_folder, remove_entry (relative to descriptors)
//   one folder's tree: platform_remove_tree_at, platform_remove_directory_tree
//   a start's folders: note_made_folder, forget_made_folders,
//                      platform_remove_made_folders
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/posix/shared.h"

// What a folder may hold: the kernel's struct linux_dirent64, read with
// getdents64 into a buffer of the caller's, since the library's directory
// walk allocates.
struct directory_entry {
  uint64_t inode;
  int64_t offset;
  unsigned short length;
  unsigned char type;
  char name[1];
};

// Folders deeper than this below the folder removed are left; no
// application's tree comes near it, and each level holds a buffer and a
// descriptor.
static const int DEEPEST_REMOVAL = 64;

// Set by platform_stop_removal from another thread: every walk ends at its
// next entry, leaving what is left.
static std::atomic<bool> RemovalStopped(false);

// When the walk gives up: CLOCK_MONOTONIC nanoseconds.
struct removal_bound {
  int64_t deadline;
  dev_t device;
};

static int64_t monotonic_now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static bool must_end(const removal_bound* bound) {
  return RemovalStopped.load(std::memory_order_relaxed) || monotonic_now() >= bound->deadline;
}

static bool remove_entry(int parent, const char* name, const removal_bound* bound, int depth);

// Removes what the folder holds.  Entries are read again after a pass that
// removed any, since removing them while reading may make the reading skip
// some; a pass that removes nothing ends it, and so do the bound and a stop.
// Only an entry that is gone counts as removed: one that cannot be removed
// (a folder that may be read but not searched, say) is left.
static void empty_folder(int folder, const removal_bound* bound, int depth) {
  alignas(8) char buffer[2048];
  for (bool removed = true; removed;) {
    removed = false;
    if (lseek(folder, 0, SEEK_SET) != 0) return;
    for (;;) {
      long got = syscall(SYS_getdents64, folder, buffer, sizeof buffer);
      if (got <= 0) break;
      for (long at = 0; at < got;) {
        const directory_entry* entry = (const directory_entry*)(buffer + at);
        at += entry->length;
        if (strcmp(entry->name, ".") == 0 || strcmp(entry->name, "..") == 0) continue;
        if (must_end(bound)) return;
        if (remove_entry(folder, entry->name, bound, depth)) removed = true;
      }
    }
  }
}

// Whether the folder is where something is mounted: another file system,
// or a bind mount, which shares its device with the folder it shows.  The
// kernel tells the second since 5.8; before, only the device shows a mount.
static bool is_mounted_on(int folder, dev_t device) {
  struct stat status;
  if (fstat(folder, &status) != 0 || status.st_dev != device) return true;
  struct statx extended;
  if (statx(folder, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_TYPE, &extended) != 0) return false;
  return (extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
         (extended.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

// Removes name under the folder parent: a file or a link by itself, never
// what it leads to; a folder with what it holds, entered by a descriptor
// relative to its parent's and never through a link, so that nothing renamed
// or swapped meanwhile leads the removal out of the tree.  A folder that
// something is mounted on is left whole.  True when name is gone.
static bool remove_entry(int parent, const char* name, const removal_bound* bound, int depth) {
  if (unlinkat(parent, name, 0) == 0) return true;
  if (errno == ENOENT) return true;
  if (errno != EISDIR) return false;
  int folder = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return errno == ENOENT;
  if (depth < DEEPEST_REMOVAL && !is_mounted_on(folder, bound->device)) {
    empty_folder(folder, bound, depth + 1);
  }
  close(folder);
  return unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

static removal_bound bound_after(uint32_t milliseconds, dev_t device) {
  removal_bound bound;
  bound.deadline = monotonic_now() + (int64_t)milliseconds * 1000000;
  bound.device = device;
  return bound;
}

bool platform_remove_tree_at(platform_handle parent, const wchar_t* name, uint32_t milliseconds) {
  static char leaf[UTF8_CAPACITY];
  int folder = (int)(parent - 1);
  if (parent == 0 || !narrow_into(name, leaf, sizeof leaf) || leaf[0] == 0 || strchr(leaf, '/') != nullptr ||
      strcmp(leaf, ".") == 0 || strcmp(leaf, "..") == 0) {
    return false;
  }
  struct stat status;
  if (fstatat(folder, leaf, &status, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(status.st_mode)) return false;
  removal_bound bound = bound_after(milliseconds, status.st_dev);
  return remove_entry(folder, leaf, &bound, 0);
}

platform_handle platform_hold_folder(const wchar_t* path) {
  const char* name = narrow(path);
  int fd = name != nullptr ? open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
  return fd >= 0 ? (platform_handle)fd + 1 : 0;
}

void platform_release_folder(platform_handle folder) {
  if (folder != 0) close((int)(folder - 1));
}

void platform_stop_removal(void) {
  RemovalStopped.store(true);
}

void platform_remove_directory_tree(const wchar_t* directory, uint32_t milliseconds) {
  // The folders held open below the target since the unpacking are let go
  // first, as on Windows, where a held folder cannot be deleted.
  let_go_below(0);
  static wchar_t above[PATH_MAX + 1];
  size_t length = wcslen(directory);
  if (length == 0 || length > PATH_MAX) return;
  wmemcpy(above, directory, length + 1);
  wchar_t* last = wcsrchr(above, L'/');
  if (last == nullptr || last[1] == 0) return;
  *last = 0;
  platform_handle parent = platform_hold_folder(last == above ? L"/" : above);
  platform_remove_tree_at(parent, last + 1, milliseconds);
  platform_release_folder(parent);
}

// --- The folders a start made -----------------------------------------------

// The folders that the last platform_secure_directory made, top down, each
// held by a descriptor opened as it was made: MadeAbove is the folder above
// the first, Made[i] lies in Made[i - 1] (the first in MadeAbove) under
// MadeName[i], with the identity MadeIdentity[i].  Whatever the child renames
// or replaces later, the removal works from these descriptors, and never
// removes a folder by a name that no longer leads to the one it made.
static const int DEEPEST_MADE = 64;
static int MadeAbove = -1;
static int Made[DEEPEST_MADE];
static char MadeName[DEEPEST_MADE][NAME_MAX + 1];
static struct stat MadeIdentity[DEEPEST_MADE];
static int MadeCount;

void platform_forget_made_folders(void) {
  forget_made_folders();
}

void forget_made_folders(void) {
  while (MadeCount > 0) close(Made[--MadeCount]);
  if (MadeAbove >= 0) close(MadeAbove);
  MadeAbove = -1;
}

static bool same_folder(const struct stat* one, const struct stat* other) {
  return one->st_dev == other->st_dev && one->st_ino == other->st_ino;
}

void note_made_folder(const char* path) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr || strlen(slash + 1) > NAME_MAX || slash[1] == 0) return;
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0) {
    if (fd >= 0) close(fd);
    return;
  }
  // Made below the last one made, or else the first of a chain of its own.
  struct stat above;
  bool below_last = MadeCount > 0 && MadeCount < DEEPEST_MADE &&
                    fstatat(Made[MadeCount - 1], slash + 1, &above, AT_SYMLINK_NOFOLLOW) == 0 &&
                    same_folder(&above, &status);
  if (!below_last) {
    forget_made_folders();
    static char parent[PATH_MAX + 1];
    size_t length = (size_t)(slash - path);
    if (length > PATH_MAX) {
      close(fd);
      return;
    }
    memcpy(parent, path, length);
    parent[length] = 0;
    MadeAbove = open(length == 0 ? "/" : parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (MadeAbove < 0) {
      close(fd);
      return;
    }
  }
  Made[MadeCount] = fd;
  strcpy(MadeName[MadeCount], slash + 1);
  MadeIdentity[MadeCount++] = status;
}

void platform_remove_made_folders(uint32_t milliseconds) {
  let_go_below(0);
  if (MadeCount == 0) return;
  removal_bound bound = bound_after(milliseconds, MadeIdentity[MadeCount - 1].st_dev);
  if (!is_mounted_on(Made[MadeCount - 1], bound.device)) empty_folder(Made[MadeCount - 1], &bound, 0);
  // Each folder goes by its name in the folder above only while that name
  // still leads to it, and only when it is empty; the first that stays keeps
  // every folder above it.
  for (int i = MadeCount - 1; i >= 0; --i) {
    if (RemovalStopped.load()) return;
    int above = i > 0 ? Made[i - 1] : MadeAbove;
    struct stat status;
    if (fstatat(above, MadeName[i], &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode) ||
        !same_folder(&status, &MadeIdentity[i]) || unlinkat(above, MadeName[i], AT_REMOVEDIR) != 0) {
      return;
    }
  }
}

#endif
