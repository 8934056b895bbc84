// Removing a folder that a start made for itself, without following a
// link or leaving the folder.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/posix/shared.h"

// What a folder that a start made for itself may hold: the kernel's
// struct linux_dirent64, read with getdents64 into a buffer of the caller's,
// since the library's directory walk allocates.
struct directory_entry {
  uint64_t inode;
  int64_t offset;
  unsigned short length;
  unsigned char type;
  char name[1];
};

// Folders deeper than this below the target are left; no application's
// tree comes near it, and each level holds a buffer and a descriptor.
static const int DEEPEST_REMOVAL = 64;

static void remove_entry(int parent, const char* name, dev_t device, int depth);

// Removes what the folder holds.  Entries are read again after a pass that
// removed any, since removing them while reading may make the reading skip
// some; a pass that removes nothing ends it.
static void empty_folder(int folder, dev_t device, int depth) {
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
        struct stat left;
        remove_entry(folder, entry->name, device, depth);
        removed = removed || fstatat(folder, entry->name, &left, AT_SYMLINK_NOFOLLOW) != 0;
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
// something is mounted on is left whole.
static void remove_entry(int parent, const char* name, dev_t device, int depth) {
  if (unlinkat(parent, name, 0) == 0 || errno != EISDIR) return;
  int folder = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return;
  if (depth < DEEPEST_REMOVAL && !is_mounted_on(folder, device)) {
    empty_folder(folder, device, depth + 1);
  }
  close(folder);
  unlinkat(parent, name, AT_REMOVEDIR);
}

void platform_remove_directory_tree(const wchar_t* directory) {
  // The folders held open below the target since the unpacking are let go
  // first: Windows keeps a held folder from being deleted.
  let_go_below(0);
  static char path[UTF8_CAPACITY];
  if (!narrow_into(directory, path, sizeof path)) return;
  char* last = strrchr(path, '/');
  if (last == nullptr || last[1] == 0) return;
  const char* name = last + 1;
  // The folders above were judged before anything was unpacked: no other
  // account can change them, so the path leads to the folder's parent.
  *last = 0;
  int parent = open(last == path ? "/" : path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return;
  struct stat status;
  if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode)) {
    remove_entry(parent, name, status.st_dev, 0);
  }
  close(parent);
}

#endif
