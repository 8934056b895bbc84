/* The checksum reference: zlib's crc32 over each file of a list, each file
 * read whole into one buffer with as few read calls as its size allows.  The
 * warm start's target is measured against this plus the decompressor alone.
 *
 * Usage: crc_reference ROOT LIST
 * LIST holds one path relative to ROOT per line.  Each file is opened by its
 * full path, as the launcher opens it.  Prints the file count and
 * the XOR of all CRC-32 values, so that the work cannot be left out. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

static unsigned char* buffer;
static size_t buffer_size;

static int read_whole(int fd, size_t size) {
  if (size > buffer_size) {
    free(buffer);
    buffer_size = size;
    buffer = malloc(buffer_size);
    if (buffer == NULL) return -1;
  }
  size_t done = 0;
  while (done < size) {
    ssize_t got = read(fd, buffer + done, size - done);
    if (got <= 0) return -1;
    done += (size_t)got;
  }
  return 0;
}

static unsigned long crc_of(size_t size) {
  unsigned long crc = crc32(0L, Z_NULL, 0);
  const unsigned char* next = buffer;
  while (size > 0) {
    uInt slice = size < (1u << 30) ? (uInt)size : (1u << 30);
    crc = crc32(crc, next, slice);
    next += slice;
    size -= slice;
  }
  return crc;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: crc_reference ROOT LIST\n");
    return 2;
  }
  FILE* list = fopen(argv[2], "r");
  if (list == NULL) {
    perror("crc_reference");
    return 2;
  }
  char line[8192];
  char path[16384];
  unsigned long combined = 0;
  unsigned long count = 0;
  while (fgets(line, sizeof line, list) != NULL) {
    line[strcspn(line, "\n")] = 0;
    if (line[0] == 0) continue;
    snprintf(path, sizeof path, "%s/%s", argv[1], line);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0 || read_whole(fd, (size_t)status.st_size) != 0) {
      fprintf(stderr, "crc_reference: cannot read %s\n", line);
      return 2;
    }
    combined ^= crc_of((size_t)status.st_size);
    close(fd);
    ++count;
  }
  printf("%lu files, crc xor %08lx\n", count, combined);
  return 0;
}
