// The file creation mask (umask) of a POSIX process, which the mode of each
// new file is less of.  POSIX only: the launcher's POSIX layer and the
// packing tool's extract, which give files the modes the launcher gives.
#ifndef ZOVARI_PLATFORM_CREATION_MASK_H
#define ZOVARI_PLATFORM_CREATION_MASK_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

// The mask, read once per process: reading means setting it, so it is set
// back at once.  Nothing else in the process changes it.
static inline mode_t file_creation_mask(void) {
  static mode_t mask = (mode_t)-1;
  if (mask == (mode_t)-1) {
    mask = umask(022);
    umask(mask);
  }
  return mask;
}

// The mode of a folder the launcher makes: the user's alone.  Root's are
// readable by everyone: nobody else can write them, what they hold comes
// from a launcher file that everyone may read anyway, and a cache that root
// made beside a launcher in /opt serves every other user of it.
static inline mode_t folder_creation_mode(void) {
  return geteuid() == 0 ? 0755 : 0700;
}

// Makes the folder name in the folder at (a descriptor, or AT_FDCWD) with
// that mode, root's whatever its umask; false with errno as mkdirat leaves
// it.  The folder that holds it has been judged: nobody else can swap it
// between the two calls.
static inline bool make_folder(int at, const char* name) {
  if (mkdirat(at, name, folder_creation_mode()) != 0) return false;
  if (geteuid() == 0) fchmodat(at, name, folder_creation_mode(), 0);
  return true;
}

// The mode of a file the launcher writes: 0666, or 0777 for a program, less
// the mask and less any write for the group or others, which would make the
// file another account's to change (0755 and 0644 at most); root's 0644 or
// 0755 whatever the mask, for the same reason as its folders.
static inline mode_t file_creation_mode(bool executable) {
  if (geteuid() == 0) return executable ? 0755 : 0644;
  return (executable ? 0777 : 0666) & ~file_creation_mask() & ~(mode_t)(S_IWGRP | S_IWOTH);
}

#endif
