// The file creation mask (umask) of a POSIX process, which the mode of each
// new file is less of.  POSIX only: the launcher's POSIX layer and the
// packing tool's extract, which give files the modes the launcher gives.
#ifndef ZOVARI_PLATFORM_CREATION_MASK_H
#define ZOVARI_PLATFORM_CREATION_MASK_H

#include <sys/stat.h>
#include <sys/types.h>

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

#endif
