// Which files are programs, from their first bytes: pure code, shared by the
// launcher, which unpacks the Linux ones executable, and the packing tool,
// which tells a launcher's target from its main binary and gives extracted
// programs the executable mode.
#ifndef ZOVARI_PAYLOAD_PROGRAMS_H
#define ZOVARI_PAYLOAD_PROGRAMS_H

#include <stddef.h>
#include <string.h>

// The first four bytes of an ELF image.
#define ELF_MAGIC "\x7f" "ELF"

// An ELF image.
static inline bool starts_like_elf(const unsigned char* data, size_t size) {
  return size >= 4 && memcmp(data, ELF_MAGIC, 4) == 0;
}

// An executable image for Windows (or DOS): "MZ".
static inline bool starts_like_windows_program(const unsigned char* data, size_t size) {
  return size >= 2 && data[0] == 'M' && data[1] == 'Z';
}

// A program Linux runs: an ELF image, or a script that names its
// interpreter on its first line ("#!").  The launcher gives these (and the
// main binary) the executable mode on Linux.
static inline bool starts_like_linux_program(const unsigned char* data, size_t size) {
  return starts_like_elf(data, size) || (size >= 2 && data[0] == '#' && data[1] == '!');
}

// A program of either system: what the launcher makes executable on Linux,
// and Windows programs ("MZ"), which the packing tool's extract makes
// executable too.
static inline bool starts_like_program(const unsigned char* data, size_t size) {
  return starts_like_linux_program(data, size) || starts_like_windows_program(data, size);
}

#endif
