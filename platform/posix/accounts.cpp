// The account files, /etc/passwd, /etc/group and /etc/gshadow, read as
// text, never through the C library's lookups; the home folder from them.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "platform/linux_folders.h"
#include "platform/posix/shared.h"

static const int ACCOUNT_FIELDS = 7;

// Splits one line at ':' and hands its fields on; false when it holds more
// fields than any account file has.
static bool visit_account_line(char* line, account_visitor visit, void* context) {
  char* fields[ACCOUNT_FIELDS] = {};
  int count = 0;
  for (char* field = line; field != nullptr; ++count) {
    if (count == ACCOUNT_FIELDS) return false;
    fields[count] = field;
    field = strchr(field, ':');
    if (field != nullptr) *field++ = 0;
  }
  visit(fields, count, context);
  return true;
}

account_file each_account_line(const char* path, account_visitor visit, void* context) {
  static char buffer[64 * 1024];
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ACCOUNTS_NOT_OPENED;
  size_t kept = 0;
  bool whole = true;
  for (bool ended = false; whole && !ended;) {
    ssize_t got = read(fd, buffer + kept, sizeof buffer - 1 - kept);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      whole = false;
      break;
    }
    if (got == 0) {
      ended = true;
      if (kept == 0) break;
      buffer[kept++] = '\n';  // a last line without its line feed
    }
    kept += (size_t)got;
    char* line = buffer;
    char* end;
    while ((end = (char*)memchr(line, '\n', (size_t)(buffer + kept - line))) != nullptr) {
      *end = 0;
      whole = visit_account_line(line, visit, context) && whole;
      line = end + 1;
    }
    kept = (size_t)(buffer + kept - line);
    memmove(buffer, line, kept);
    if (kept == sizeof buffer - 1) whole = false;  // a line longer than the buffer
  }
  close(fd);
  return whole ? ACCOUNTS_READ : ACCOUNTS_DAMAGED;
}

bool parse_id(const char* text, unsigned long* value) {
  if (*text < '0' || *text > '9') return false;
  char* end;
  errno = 0;
  *value = strtoul(text, &end, 10);
  return errno == 0 && *end == 0;
}

bool plain_id(const char* text) {
  if (*text == 0) return false;
  while (*text >= '0' && *text <= '9') ++text;
  return *text == 0;
}

struct home_search {
  unsigned long uid;
  wchar_t* out;
  size_t capacity;
  bool seen;   // the uid's entry has been met
  bool found;  // and it gave an absolute home that fits
};

// /etc/passwd: name, password, uid, gid, comment, home, shell.  The first
// entry of the uid decides, as the C library's lookup does.
static void take_home(char** fields, int count, void* context) {
  home_search* search = (home_search*)context;
  unsigned long uid;
  if (search->seen || count < 6 || !parse_id(fields[2], &uid) || uid != search->uid) return;
  search->seen = true;
  search->found = fields[5][0] == '/' && widen(fields[5], search->out, search->capacity) != (size_t)-1;
}

bool platform_profile_directory(wchar_t* out, size_t capacity) {
  variable_folder from_variable = absolute_variable(LINUX_HOME_VARIABLE, out, capacity);
  if (from_variable != FOLDER_UNSET) return from_variable == FOLDER_FOUND;
  home_search search = {(unsigned long)getuid(), out, capacity, false, false};
  each_account_line("/etc/passwd", take_home, &search);
  if (!search.found) out[0] = 0;
  return search.found;
}

bool platform_cache_directory(wchar_t* out, size_t capacity) {
  variable_folder from_variable = absolute_variable(LINUX_CACHE_VARIABLE, out, capacity);
  if (from_variable != FOLDER_UNSET) return from_variable == FOLDER_FOUND;
  if (!platform_profile_directory(out, capacity)) return false;
  size_t length = linux_trim_home_for_cache(out, wcslen(out));
  static const wchar_t suffix[] = L"" LINUX_CACHE_SUFFIX;
  size_t suffix_length = wcslen(suffix);
  if (length + suffix_length + 1 > capacity) return false;
  wcscpy(out + linux_cache_suffix_at(length), suffix);
  return true;
}

#endif
