// The environment, the process's identity and time, and whether the
// launcher's own file is whole.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <stdlib.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/shared.h"

extern char** environ;

size_t platform_get_environment(const wchar_t* name, wchar_t* out, size_t capacity) {
  char narrow_name[256];
  if (!narrow_into(name, narrow_name, sizeof narrow_name)) return 0;
  const char* value = getenv(narrow_name);
  if (value == nullptr || value[0] == 0) return 0;
  size_t length = widen(value, out, capacity);
  return length == (size_t)-1 ? 0 : length;
}

bool platform_set_environment(const wchar_t* name, const wchar_t* value) {
  char narrow_name[256];
  if (!narrow_into(name, narrow_name, sizeof narrow_name)) return false;
  if (value == nullptr) return unsetenv(narrow_name) == 0;
  const char* narrow_value = narrow(value);
  return narrow_value != nullptr && setenv(narrow_name, narrow_value, 1) == 0;
}

uint32_t platform_process_id(void) {
  return (uint32_t)getpid();
}

int64_t platform_system_time(void) {
  // 1601-01-01 to 1970-01-01 in 100-nanosecond intervals.
  static const int64_t EPOCH_DIFFERENCE = 116444736000000000LL;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return EPOCH_DIFFERENCE + (int64_t)now.tv_sec * 10000000 + now.tv_nsec / 100;
}

int64_t platform_performance_counter(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

void platform_narrow_library_search(void) {}

// The kernel maps each loadable segment of the launcher from its file
// without looking at the file's size; a page beyond the end of a file cut
// short exists in memory all the same, and touching it ends the process with
// SIGBUS.  A system call that reads such a page fails with EFAULT instead, so
// the last byte the file must hold for each segment is handed to write() on a
// pipe.  This asks the mapping itself, which is what the launcher will use,
// and needs neither /proc nor the file's name, which may no longer lead to
// the file that was started.
static int check_segment_ends(struct dl_phdr_info* image, size_t, void* result) {
  int probe[2];
  if (pipe2(probe, O_CLOEXEC) != 0) return 1;  // no answer: assume whole
  for (int i = 0; i < image->dlpi_phnum; ++i) {
    const ElfW(Phdr)* segment = &image->dlpi_phdr[i];
    if (segment->p_type != PT_LOAD || segment->p_filesz == 0) continue;
    const char* last = (const char*)(image->dlpi_addr + segment->p_vaddr + segment->p_filesz - 1);
    ssize_t wrote;
    while ((wrote = write(probe[1], last, 1)) < 0 && errno == EINTR) {
    }
    if (wrote < 0 && errno == EFAULT) *(bool*)result = false;
  }
  close(probe[0]);
  close(probe[1]);
  return 1;  // the first object is the program itself
}

bool platform_image_is_whole(void) {
  bool whole = true;
  dl_iterate_phdr(check_segment_ends, &whole);
  return whole;
}

struct image_part_query {
  uintptr_t address;
  uint64_t size;
};

static int find_image_part(struct dl_phdr_info* image, size_t, void* context) {
  image_part_query* query = (image_part_query*)context;
  for (int i = 0; i < image->dlpi_phnum; ++i) {
    const ElfW(Phdr)* segment = &image->dlpi_phdr[i];
    uintptr_t start = image->dlpi_addr + segment->p_vaddr;
    if (segment->p_type != PT_LOAD || query->address < start ||
        query->address - start >= segment->p_memsz) {
      continue;
    }
    query->size = segment->p_memsz - (query->address - start);
  }
  return 1;  // the first object is the program itself
}

uint64_t platform_image_part_size(const void* address) {
  image_part_query query = {(uintptr_t)address, 0};
  dl_iterate_phdr(find_image_part, &query);
  return query.size;
}

#endif
