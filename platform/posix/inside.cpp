// Below the target directory: every folder entered once, without
// following a link, and held while its files are used.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/held_folders.h"
#include "platform/creation_mask.h"
#include "platform/posix/shared.h"

// The folders held below the target directory: Held[0] is the target
// directory, Held[i] the folder whose path is HeldPath's first HeldEnds[i]
// units, each opened relative to the one before.  HeldDepth 0: none.
static const size_t HELD_PATH_CAPACITY = 4 * 4096;
static const size_t HELD_DEPTH = 4096;
static wchar_t HeldPath[HELD_PATH_CAPACITY];
static size_t HeldEnds[HELD_DEPTH];
static int Held[HELD_DEPTH];
static size_t HeldDepth;

int folder_holding(const wchar_t* path, const char** leaf) {
  if (HeldDepth > 0) {
    size_t end = HeldEnds[HeldDepth - 1];
    if (wcsncmp(path, HeldPath, end) == 0 && path[end] == L'/' && wcschr(path + end + 1, L'/') == nullptr) {
      *leaf = narrow(path + end + 1);
      return Held[HeldDepth - 1];
    }
  }
  *leaf = narrow(path);
  return AT_FDCWD;
}

void let_go_below(size_t depth) {
  while (HeldDepth > depth) close(Held[--HeldDepth]);
}

// A folder below the target: this user's or root's, and nobody else's to
// write, as the target directory itself.  Group write counts as the user's
// own only for the user's private group, and never on a folder with an
// access list.
static platform_trust judge_inner_folder(int fd, const struct stat* status) {
  if (!owner_trusted(status)) return PLATFORM_NOT_OWNED;
  if ((status->st_mode & S_IWOTH) != 0) return PLATFORM_OTHERS_CAN_WRITE;
  if ((status->st_mode & S_IWGRP) == 0) return PLATFORM_TRUSTED;
  bool listed = fgetxattr(fd, "system.posix_acl_access", nullptr, 0) >= 0 ||
                (errno != ENODATA && errno != ENOTSUP);
  return listed || !private_group(status->st_gid) ? PLATFORM_OTHERS_CAN_WRITE : PLATFORM_TRUSTED;
}

// Opens the folder leaf inside folder without following a link.  A link
// there is removed and a folder, 0700, made in its place: nothing the link
// leads to is touched.  -1 with errno otherwise.
static int open_inner_folder(int folder, const char* leaf) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = openat(folder, leaf, flags);
  if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR)) return fd;
  struct stat status;
  if (fstatat(folder, leaf, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(status.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  if (unlinkat(folder, leaf, 0) != 0 && errno != ENOENT) return -1;
  if (!make_folder(folder, leaf) && errno != EEXIST) return -1;
  return openat(folder, leaf, flags);
}

platform_trust platform_enter_folder(const wchar_t* path, size_t target_length, size_t length,
                                     wchar_t* culprit, size_t capacity) {
  if (length >= HELD_PATH_CAPACITY) {
    widen_cut(narrow(path) != nullptr ? NarrowBuffer : "", culprit, capacity);
    return PLATFORM_TRUST_UNREADABLE;
  }
  // Keep what is held of the way there: the target directory, then each
  // folder whose path is a whole-component prefix of this one.
  let_go_below(held_on_the_way(HeldPath, HeldEnds, HeldDepth, path, target_length, length, L'/'));
  wmemcpy(HeldPath, path, length);
  HeldPath[length] = 0;
  if (HeldDepth == 0) {
    // Judged already, links above it included, and nobody else can change it.
    HeldPath[target_length] = 0;
    const char* target = narrow(HeldPath);
    int fd = target != nullptr ? open(target, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd < 0) {
      int failure = errno;
      widen_cut(target != nullptr ? target : "", culprit, capacity);
      return failure == EACCES ? PLATFORM_NOT_ENTERED : PLATFORM_TRUST_UNREADABLE;
    }
    HeldPath[target_length] = path[target_length];
    Held[0] = fd;
    HeldEnds[0] = target_length;
    HeldDepth = 1;
  }
  for (size_t at = HeldEnds[HeldDepth - 1]; at < length;) {
    size_t end = next_component(path, &at, length, L'/');
    if (end == at) break;
    if (HeldDepth == HELD_DEPTH) return PLATFORM_NOT_MADE;
    wchar_t after = HeldPath[end];
    HeldPath[end] = 0;
    const char* leaf = narrow(HeldPath + at);
    int fd = leaf != nullptr ? open_inner_folder(Held[HeldDepth - 1], leaf) : -1;
    int failure = errno;
    struct stat status;
    platform_trust trust = PLATFORM_TRUSTED;
    if (fd < 0) {
      trust = failure == ENOENT || failure == ENOTDIR ? PLATFORM_NOT_MADE
              : failure == EACCES                     ? PLATFORM_NOT_ENTERED
                                                      : PLATFORM_TRUST_UNREADABLE;
    } else if (fstat(fd, &status) != 0) {
      trust = PLATFORM_TRUST_UNREADABLE;
    } else {
      trust = judge_inner_folder(fd, &status);
    }
    if (trust != PLATFORM_TRUSTED) {
      if (fd >= 0) close(fd);
      if (trust != PLATFORM_NOT_MADE) widen_cut(narrow(HeldPath) != nullptr ? NarrowBuffer : "", culprit, capacity);
      HeldPath[end] = after;
      return trust;
    }
    HeldPath[end] = after;
    Held[HeldDepth] = fd;
    HeldEnds[HeldDepth++] = end;
    at = end;
  }
  return PLATFORM_TRUSTED;
}

void platform_leave_folders(void) {
  let_go_below(0);
}

#endif
