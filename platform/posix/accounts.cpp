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
static bool visit_account_line(char* line, int part, account_visitor visit, void* context) {
  char* fields[ACCOUNT_FIELDS] = {};
  int count = 0;
  for (char* field = line; field != nullptr; ++count) {
    if (count == ACCOUNT_FIELDS) return false;
    fields[count] = field;
    field = strchr(field, ':');
    if (field != nullptr) *field++ = 0;
  }
  visit(fields, count, part, context);
  return true;
}

// A line longer than the buffer (a group of thousands of members), which the
// C library reads whole: its leading fields, kept here, then its last field,
// a list of names, handed on a piece at a time, each piece whole names.
static const size_t ACCOUNT_BUFFER = 64 * 1024;
static char LongLineLead[4096];

// Hands on the kept leading fields with length bytes of names as the last
// field.  False when they hold a ':' (a field before the last that did not
// fit) or more fields than any account file has.
static bool visit_long_line_piece(const char* names, size_t length, int part, account_visitor visit,
                                  void* context) {
  static char line[sizeof LongLineLead + ACCOUNT_BUFFER];
  if (memchr(names, ':', length) != nullptr) return false;
  size_t lead = strlen(LongLineLead);
  memcpy(line, LongLineLead, lead);
  memcpy(line + lead, names, length);
  line[lead + length] = 0;
  return visit_account_line(line, part, visit, context);
}

// The buffer is full and holds no line end: a long line begins or goes on.
// The first time, its leading fields are kept aside (they must fit); then the
// names before the last comma are handed on and the rest is kept at the
// buffer's start.  False when that cannot be done: no comma (one name longer
// than the buffer), or leading fields that do not fit.
static bool go_on_with_long_line(char* buffer, size_t* kept, int part, account_visitor visit,
                                 void* context) {
  if (part == 0) {
    char* last = (char*)memrchr(buffer, ':', *kept);
    if (last == nullptr || (size_t)(last + 1 - buffer) >= sizeof LongLineLead) return false;
    size_t lead = (size_t)(last + 1 - buffer);
    memcpy(LongLineLead, buffer, lead);
    LongLineLead[lead] = 0;
    *kept -= lead;
    memmove(buffer, buffer + lead, *kept);
  }
  char* comma = (char*)memrchr(buffer, ',', *kept);
  if (comma == nullptr) return false;
  bool fine = visit_long_line_piece(buffer, (size_t)(comma - buffer), part, visit, context);
  *kept -= (size_t)(comma + 1 - buffer);
  memmove(buffer, comma + 1, *kept);
  return fine;
}

account_file each_account_line(const char* path, account_visitor visit, void* context) {
  static char buffer[ACCOUNT_BUFFER];
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ACCOUNTS_NOT_OPENED;
  size_t kept = 0;
  int part = 0;  // pieces of a long line handed on so far
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
      if (kept == 0 && part == 0) break;
      buffer[kept++] = '\n';  // a last line without its line feed
    }
    kept += (size_t)got;
    char* line = buffer;
    char* end;
    while ((end = (char*)memchr(line, '\n', (size_t)(buffer + kept - line))) != nullptr) {
      *end = 0;
      if (part > 0) {
        // The end of a long line: the last names of its last field.
        whole = visit_long_line_piece(line, (size_t)(end - line), part, visit, context) && whole;
        part = 0;
      } else {
        whole = visit_account_line(line, 0, visit, context) && whole;
      }
      line = end + 1;
    }
    kept = (size_t)(buffer + kept - line);
    memmove(buffer, line, kept);
    if (kept == sizeof buffer - 1 && whole) {
      whole = go_on_with_long_line(buffer, &kept, part++, visit, context);
    }
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
static void take_home(char** fields, int count, int part, void* context) {
  home_search* search = (home_search*)context;
  unsigned long uid;
  if (part > 0 || search->seen || count < 6 || !parse_id(fields[2], &uid) || uid != search->uid) return;
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
