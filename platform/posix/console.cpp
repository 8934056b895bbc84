// The platform seam on Linux.
//
// Sections:
//   text       wchar_t (code points) <-> UTF-8, lossless for any byte string
//   errors     errno and strerror
//   files      create/write/close, reading a file in pieces
//   paths      directories, full paths, the folders behind the template tokens
//   accounts   /etc/passwd, /etc/group and /etc/gshadow read as text, never
//              through the C library's lookups
//   environment, identity and time
//   arguments  the C run-time's argument vector
//   trust      whether a folder is this user's alone
//   inside     the folders below the target directory, held open

//   quick start  metadata without opening a file, the stamp beside the folder
//   processes  vfork and exec, waits that do not reap, the console signals
//
// Everything but the seam is static.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <locale.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include "platform/creation_mask.h"
#include "platform/held_folders.h"
#include "platform/linux_folders.h"
#include "platform/utf8.h"

extern char** environ;

// ---------------------------------------------------------------- text

// Bytes that are not valid UTF-8 come in as U+DC80..U+DCFF and go out as the
// same bytes again, so that any file name or argument survives the trip.
static const size_t UTF8_CAPACITY = 4 * 32768 + 1;
static char NarrowBuffer[UTF8_CAPACITY];

// Decodes UTF-8 into out (capacity units).  Returns the length, or
// (size_t)-1 when it does not fit.
static size_t widen(const char* in, wchar_t* out, size_t capacity) {
  const unsigned char* unit = (const unsigned char*)in;
  size_t length = 0;
  while (*unit != 0) {
    uint32_t code;
    // At most 4 bytes are read, and the terminating NUL, not being a
    // continuation byte, ends a sequence that is cut short.
    size_t used = utf8_decode(unit, 4, &code);
    if (used == 0) {
      code = 0xDC00 + *unit;
      used = 1;
    }
    if (length + 1 >= capacity) return (size_t)-1;
    out[length++] = (wchar_t)code;
    unit += used;
  }
  out[length] = 0;
  return length;
}

// Encodes into out (capacity bytes); false when it does not fit.
static bool narrow_into(const wchar_t* in, char* out, size_t capacity) {
  size_t length = 0;
  for (; *in != 0; ++in) {
    uint32_t code = (uint32_t)*in;
    unsigned char bytes[4];
    size_t count;
    if (code >= 0xDC80 && code <= 0xDCFF) {
      bytes[0] = (unsigned char)(code - 0xDC00);
      count = 1;
    } else {
      count = utf8_encode(code, bytes);
    }
    if (length + count >= capacity) return false;
    memcpy(out + length, bytes, count);
    length += count;
  }
  out[length] = 0;
  return true;
}

// The launcher's own thread is the only one that converts paths, so one
// static buffer serves.  Null when the text cannot be converted.
static const char* narrow(const wchar_t* text) {
  return narrow_into(text, NarrowBuffer, UTF8_CAPACITY) ? NarrowBuffer : nullptr;
}

static char* narrow_copy(const wchar_t* text) {
  const char* converted = narrow(text);
  return converted != nullptr ? strdup(converted) : nullptr;
}

// ---------------------------------------------------------------- errors

uint32_t platform_last_error(void) {
  return (uint32_t)errno;
}

char* platform_error_text(uint32_t code) {
  return strdup(strerror((int)code));
}

char* platform_display_text(const wchar_t* text) {
  return narrow_copy(text);
}

// ---------------------------------------------------------------- files

// The folder last entered below the target directory, when it holds path
// directly: its descriptor, with *leaf set to the file's name in it as
// bytes; AT_FDCWD, with *leaf the whole path, otherwise.  Null *leaf when
// the text cannot be converted.
static int folder_holding(const wchar_t* path, const char** leaf);

// The user the launcher runs as, asked once: every file and folder below
// the target directory is compared with it.
static uid_t the_user(void) {
  static const uid_t user = geteuid();
  return user;
}

// Whether a file's owner is the user or root: another account could change
// what it holds after it was checked.
static bool owner_trusted(const struct stat* status) {
  return status->st_uid == the_user() || status->st_uid == 0;
}

// Removes what stands at leaf and makes a new file there, never opening the
// old one: a link, another account's file, or a file with other names whose
// contents must not change under them.
static int replace_file(int folder, const char* leaf, int flags, mode_t mode) {
  if (unlinkat(folder, leaf, 0) != 0 && errno != ENOENT) return -1;
  return openat(folder, leaf, flags | O_CREAT | O_EXCL, mode);
}

// Opens the file at leaf for writing, length 0.  A new name costs one open,
// as before; an existing file is written over only when it is a plain file of
// the user's with no other name, and replaced otherwise.
static int open_for_writing(int folder, const char* leaf, int flags, mode_t mode) {
  int fd = openat(folder, leaf, flags | O_CREAT | O_EXCL, mode);
  if (fd >= 0 || errno != EEXIST) return fd;
  fd = openat(folder, leaf, flags);
  struct stat status;
  if (fd < 0) {
    // A link (ELOOP), or a file this user may not write: replaced when it is
    // another account's; the user's own read-only file stays and fails.
    if (errno == ELOOP) return replace_file(folder, leaf, flags, mode);
    int failure = errno;
    if (failure == EACCES && fstatat(folder, leaf, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        status.st_uid != the_user()) {
      return replace_file(folder, leaf, flags, mode);
    }
    errno = failure;
    return -1;
  }
  if (fstat(fd, &status) != 0) {
    close(fd);
    return -1;
  }
  if (S_ISREG(status.st_mode) && (status.st_uid != the_user() || status.st_nlink > 1)) {
    close(fd);
    return replace_file(folder, leaf, flags, mode);
  }
  if (S_ISREG(status.st_mode) && ftruncate(fd, 0) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Descriptors are stored one up, so that a handle of 0 never names a file
// even when descriptor 0 is free.
platform_handle platform_create_file(const wchar_t* path, bool executable, bool) {
  const char* leaf;
  int folder = folder_holding(path, &leaf);
  if (leaf == nullptr) {
    errno = ENAMETOOLONG;
    return 0;
  }
  mode_t mode = (executable ? 0777 : 0666) & ~file_creation_mask();
  // O_NONBLOCK: a named pipe at the path fails the open instead of waiting
  // for a reader; it changes nothing for a regular file.  O_NOFOLLOW: a
  // symbolic link at the path is replaced by the file, never written
  // through, so what it points to stays as it was.
  const int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;
  int fd = open_for_writing(folder, leaf, flags, mode);
  if (fd < 0) return 0;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // A file that was there before keeps its old mode through the truncation.
  fchmod(fd, mode);
  return (platform_handle)fd + 1;
}

bool platform_write_file(platform_handle file, const void* data, uint32_t size) {
  const char* next = (const char*)data;
  while (size > 0) {
    ssize_t written = write((int)(file - 1), next, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    next += written;
    size -= (uint32_t)written;
  }
  return true;
}

void platform_close_file(platform_handle file) {
  close((int)(file - 1));
}

// Contents are read, not mapped: another launcher may truncate the file
// while it is being checked, which a mapping would answer with SIGBUS.  One
// buffer serves, since only the launcher's own thread checks files.
static const size_t READ_PIECE = 256 * 1024;
static unsigned char ReadBuffer[READ_PIECE];

bool platform_open_reader(const wchar_t* path, platform_file_reader* reader) {
  const char* name;
  int folder = folder_holding(path, &name);
  if (name == nullptr) return false;
  // O_NONBLOCK: a named pipe must not wait for a writer before fstat says
  // it is no regular file.
  // O_NOFOLLOW: a symbolic link has no contents of its own here, so it
  // never matches and is replaced by the file it stands in for.
  int fd = openat(folder, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0 ||
      !owner_trusted(&status)) {
    close(fd);
    return false;
  }
  // A file read in one piece gets nothing from a larger read-ahead.
  if (status.st_size > (off_t)READ_PIECE) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  reader->data = nullptr;
  reader->size = 0;
  reader->file = (platform_handle)fd + 1;
  reader->offset = 0;
  reader->length = (uint64_t)status.st_size;
  return true;
}

bool platform_is_empty_file(const wchar_t* path) {
  const char* name;
  int folder = folder_holding(path, &name);
  struct stat status;
  return name != nullptr && fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(status.st_mode) && status.st_size == 0 && owner_trusted(&status);
}

// Reads up to the length seen at the open and no further, which spares the
// read that would only find the end.  A file that has shrunk meanwhile ends
// early and counts as a failure, so its checksum is 0 and it is written again.
bool platform_read_next(platform_file_reader* reader, bool* failed) {
  if (reader->offset >= reader->length) return false;
  uint64_t left = reader->length - reader->offset;
  size_t wanted = left < READ_PIECE ? (size_t)left : READ_PIECE;
  for (;;) {
    ssize_t got = read((int)(reader->file - 1), ReadBuffer, wanted);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *failed = true;
      return false;
    }
    reader->data = ReadBuffer;
    reader->size = (uint64_t)got;
    reader->offset += (uint64_t)got;
    return true;
  }
}

void platform_close_reader(platform_file_reader* reader) {
  close((int)(reader->file - 1));
  reader->data = nullptr;
  reader->size = 0;
}

void platform_release_pages(const void* start, size_t length) {
  static const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
  uintptr_t first = ((uintptr_t)start + page - 1) & ~(page - 1);
  uintptr_t end = ((uintptr_t)start + length) & ~(page - 1);
  if (end > first) madvise((void*)first, end - first, MADV_DONTNEED);
}

// ---------------------------------------------------------------- paths

size_t platform_wide_from_utf16(const uint16_t* units, size_t count, wchar_t* out) {
  size_t written = 0;
  for (size_t i = 0; i < count; ++i) {
    uint32_t unit = units[i];
    if (utf16_is_high_surrogate(unit) && i + 1 < count && utf16_is_low_surrogate(units[i + 1])) {
      unit = utf16_pair_code(unit, units[i + 1]);
      ++i;
    } else if (utf16_is_surrogate(unit)) {
      // A lone surrogate goes out as the three bytes its value would take,
      // held as the units that stand for bytes which are not UTF-8.  Kept as
      // itself, one of U+DC80..U+DCFF would come out as a single byte, and
      // two different names of one payload could meet in one file.
      unsigned char bytes[4];
      size_t length = utf8_encode(unit, bytes);
      for (size_t b = 0; b < length; ++b) out[written++] = (wchar_t)(0xDC00 + bytes[b]);
      continue;
    }
    out[written++] = (wchar_t)unit;
  }
  out[written] = 0;
  return written;
}

platform_directory_result platform_create_directory(const wchar_t* path) {
  const char* name = narrow(path);
  if (name == nullptr) {
    errno = ENAMETOOLONG;
    return PLATFORM_DIRECTORY_FAILED;
  }
  // Only the user may look into or change what the launcher unpacks.
  if (mkdir(name, 0700) == 0) return PLATFORM_DIRECTORY_CREATED;
  return errno == EEXIST ? PLATFORM_DIRECTORY_EXISTS : PLATFORM_DIRECTORY_FAILED;
}

// A name reaches exactly the file it spells, every unit standing for its own
// bytes (see platform_wide_from_utf16), once "." and ".." components and
// doubled separators are left out.
bool platform_name_key(const wchar_t* name, wchar_t* key) {
  size_t start = 0;
  for (size_t i = 0;; ++i) {
    wchar_t unit = name[i];
    if (unit == L'/' || unit == 0) {
      size_t length = i - start;
      if (length == 0) return false;
      if (length <= 2 && name[start] == L'.' && (length == 1 || name[start + 1] == L'.')) return false;
      start = i + 1;
    }
    key[i] = unit;
    if (unit == 0) return true;
  }
}

bool platform_is_bare_root(const wchar_t*) {
  return false;
}

// Resolves ".", ".." and doubled separators lexically, as the Windows call
// does: links are not followed.
size_t platform_full_path(const wchar_t* path, wchar_t* out, size_t capacity) {
  static wchar_t joined[2 * 4096 + 2];
  const size_t joined_capacity = sizeof joined / sizeof joined[0];
  size_t length = 0;
  if (path[0] != L'/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return 0;
    size_t cwd_length = widen(cwd, joined, joined_capacity - 1);
    if (cwd_length == (size_t)-1) return 0;
    length = cwd_length;
    joined[length++] = L'/';
  }
  size_t path_length = wcslen(path);
  if (length + path_length + 1 > joined_capacity) return joined_capacity;
  wmemcpy(joined + length, path, path_length + 1);

  size_t written = 0;
  const wchar_t* unit = joined;
  while (*unit != 0) {
    while (*unit == L'/') ++unit;
    const wchar_t* end = unit;
    while (*end != 0 && *end != L'/') ++end;
    size_t part = (size_t)(end - unit);
    if (part == 0 || (part == 1 && unit[0] == L'.')) {
      // nothing to add
    } else if (part == 2 && unit[0] == L'.' && unit[1] == L'.') {
      while (written > 0 && out[written] != L'/') --written;
    } else {
      if (written + 1 + part + 1 > capacity) return written + 1 + part + 1;
      out[written++] = L'/';
      wmemcpy(out + written, unit, part);
      written += part;
    }
    out[written] = 0;
    unit = end;
  }
  if (written == 0) {
    if (capacity < 2) return 2;
    out[written++] = L'/';
  }
  out[written] = 0;
  return written;
}

// What an absolute path in an environment variable gives: the variable
// unset, empty or relative (look elsewhere), its path widened into out, or a
// path too long for out (the folder is known but cannot be given).
enum variable_folder { FOLDER_UNSET, FOLDER_FOUND, FOLDER_TOO_LONG };

static variable_folder absolute_variable(const char* name, wchar_t* out, size_t capacity) {
  const char* value = getenv(name);
  if (!LINUX_FOLDER_VARIABLE_COUNTS(value)) return FOLDER_UNSET;
  if (widen(value, out, capacity) == (size_t)-1) {
    out[0] = 0;
    return FOLDER_TOO_LONG;
  }
  return FOLDER_FOUND;
}

size_t platform_temp_directory(wchar_t* out, size_t capacity) {
  variable_folder from_variable = absolute_variable(LINUX_TEMP_VARIABLE, out, capacity);
  if (from_variable != FOLDER_UNSET) return from_variable == FOLDER_FOUND ? wcslen(out) : 0;
  if (capacity < sizeof LINUX_DEFAULT_TEMP) return 0;
  wcscpy(out, L"" LINUX_DEFAULT_TEMP);
  return sizeof LINUX_DEFAULT_TEMP - 1;
}

size_t platform_executable_path(wchar_t* out, size_t capacity) {
  char target[PATH_MAX + 1];
  ssize_t length = readlink("/proc/self/exe", target, PATH_MAX);
  if (length <= 0) return 0;
  target[length] = 0;
  size_t widened = widen(target, out, capacity);
  if (widened == (size_t)-1) {
    out[0] = 0;
    return 0;
  }
  return widened;
}

// ---------------------------------------------------------------- accounts

// The launcher is linked statically, and the C library's account lookups
// (getpwuid, getgrgid and their kin) would still load the modules that
// nsswitch.conf names; one of them (systemd's) crashes a static program for
// a uid without an entry.  So the account files are read here, as plain
// text: the entries of local accounts, which is all the launcher asks about.
// Calls visit with the fields of each line of an account file (/etc/passwd,
// /etc/group, /etc/gshadow), split at ':'.  Read directly, so that no NSS
// module is loaded into the static launcher.  Says whether the file could
// not be opened, or was opened but cannot be read whole (a read fails, or a
// line does not fit or holds more fields than expected): the caller then
// knows nothing about the accounts.
typedef void (*account_visitor)(char** fields, int count, void* context);
enum account_file { ACCOUNTS_READ, ACCOUNTS_NOT_OPENED, ACCOUNTS_DAMAGED };
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

static account_file each_account_line(const char* path, account_visitor visit, void* context) {
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

static bool parse_id(const char* text, unsigned long* value) {
  if (*text < '0' || *text > '9') return false;
  char* end;
  errno = 0;
  *value = strtoul(text, &end, 10);
  return errno == 0 && *end == 0;
}

// Whether an id field is plain digits, all that parse_id reads.  The C
// library reads more: it skips blanks and takes a sign (" 1001" and "+1001"
// are 1001), so a field of any other form may give an account an id that
// parse_id does not see.
static bool plain_id(const char* text) {
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

// Where this user's locks live: the private runtime folder, XDG_RUNTIME_DIR
// or, where the variable is unset, /run/user/<uid>, where systemd makes it
// (so that a start from a session and one from cron, which has no such
// variable, meet).  The variable is the session's, not another account's,
// but a careless setup may point it anywhere: the folder is taken only when
// it is no link, belongs to this user and lets nobody else in.  Returns its
// descriptor, or -1 when there is no such folder.
static int open_runtime_folder(void) {
  char fallback[32];
  const char* path = getenv("XDG_RUNTIME_DIR");
  if (path != nullptr && path[0] != '/') return -1;  // a relative one counts for nothing
  if (path == nullptr) {
    snprintf(fallback, sizeof fallback, "/run/user/%lu", (unsigned long)geteuid());
    path = fallback;
  }
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status;
  if (fstat(fd, &status) != 0 || status.st_uid != geteuid() || (status.st_mode & 077) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The descriptor whose flock is the folder's lock.  Where this user has a
// private runtime folder, a file there named after the folder's device and
// inode, as the Windows mutex is named after the folder's volume and file
// index: every path that names the folder meets the same one, nothing of the
// launcher's lies among the application's files, and no other account can
// open it, even where the user lets others read the folder.  Elsewhere the
// folder's own descriptor, which any account that may read the folder can
// lock as well (a folder the launcher made is 0700: only this user and
// root).  The kernel drops either lock when the process ends, however it
// ends.  The folder is not opened with O_NOFOLLOW: the chain that leads to
// it, links included, has been judged, and no other account can change it.
static int lock_descriptor(const char* folder) {
  int runtime = open_runtime_folder();
  if (runtime >= 0) {
    struct stat status;
    char name[64];
    int fd = -1;
    if (stat(folder, &status) == 0) {
      snprintf(name, sizeof name, "zovari-onefile-%llx-%llx.lock", (unsigned long long)status.st_dev,
               (unsigned long long)status.st_ino);
      fd = openat(runtime, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    }
    close(runtime);
    if (fd >= 0) return fd;
  }
  return open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

platform_handle platform_lock_directory(const wchar_t* directory, uint32_t milliseconds) {
  const char* name = narrow(directory);
  if (name == nullptr) return 0;
  int fd = lock_descriptor(name);
  if (fd < 0) return 0;
  int64_t deadline = platform_performance_counter() + (int64_t)milliseconds * 1000000;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || platform_performance_counter() >= deadline) {
      close(fd);
      return 0;
    }
    struct timespec pause = {0, 10 * 1000000};
    nanosleep(&pause, nullptr);
  }
  return (platform_handle)fd + 1;
}

void platform_unlock_directory(platform_handle lock) {
  int fd = (int)(lock - 1);
  flock(fd, LOCK_UN);
  close(fd);
}

// ---------------------------------------------------------------- trust

// What the account files say about one group.
struct group_census {
  unsigned long gid;
  char user[256];       // this user's name, from /etc/passwd
  char name[256];       // the group's name, from /etc/group
  bool user_has_it;     // it is this user's primary group
  bool others_have_it;  // another account has it as primary group or belongs to it
  bool listed;          // /etc/group lists it
  bool unknowable;      // an entry merged in from elsewhere (NIS "+"/"-" lines), an id
                        // field the C library may read otherwise, a second name
};

static void count_primary_group(char** fields, int count, void* context) {
  group_census* census = (group_census*)context;
  unsigned long uid, gid;
  if (fields[0][0] == '+' || fields[0][0] == '-') census->unknowable = true;
  if (count < 4) return;
  if (!plain_id(fields[2]) || !plain_id(fields[3])) census->unknowable = true;
  if (!parse_id(fields[2], &uid) || !parse_id(fields[3], &gid)) return;
  if (uid == (unsigned long)geteuid()) {
    if (census->user[0] == 0 && strlen(fields[0]) < sizeof census->user) {
      strcpy(census->user, fields[0]);
    }
    if (gid == census->gid) census->user_has_it = true;
  } else if (gid == census->gid) {
    census->others_have_it = true;
  }
}

// Notes a name list (members, administrators) that holds anyone but this
// user.  A name that differs from the user's only by blanks, which the C
// library skips, counts as another's too.
static void count_others_in(const char* names, group_census* census) {
  for (const char* name = names; *name != 0;) {
    const char* comma = strchr(name, ',');
    size_t length = comma != nullptr ? (size_t)(comma - name) : strlen(name);
    if (length > 0 && (length != strlen(census->user) || memcmp(name, census->user, length) != 0)) {
      census->others_have_it = true;
    }
    name += length + (comma != nullptr ? 1 : 0);
  }
}

// Whether a group's password field (/etc/group, /etc/gshadow) holds one that
// lets whoever knows it take the group with newgrp: neither empty (members
// only), nor locked ("!", "*"), nor "x" (kept in /etc/gshadow; no hash).
static bool group_password_usable(const char* password) {
  return password[0] != 0 && password[0] != '!' && password[0] != '*' && strcmp(password, "x") != 0;
}

static void count_group_members(char** fields, int count, void* context) {
  group_census* census = (group_census*)context;
  unsigned long gid;
  if (fields[0][0] == '+' || fields[0][0] == '-') census->unknowable = true;
  if (count < 3) return;
  if (!plain_id(fields[2])) census->unknowable = true;
  if (!parse_id(fields[2], &gid) || gid != census->gid) return;
  // /etc/gshadow knows a group by its name: a second one would need looking
  // up too.
  if (census->listed || strlen(fields[0]) >= sizeof census->name) census->unknowable = true;
  if (!census->listed) strncpy(census->name, fields[0], sizeof census->name - 1);
  census->listed = true;
  if (group_password_usable(fields[1])) census->others_have_it = true;
  if (count >= 4) count_others_in(fields[3], census);
}

// /etc/gshadow: name, password, administrators, members.  Its members may
// take the group with newgrp, and so may whoever knows its password; its
// administrators may make anyone a member.
static void count_shadow_members(char** fields, int count, void* context) {
  group_census* census = (group_census*)context;
  if (fields[0][0] == '+' || fields[0][0] == '-') census->unknowable = true;
  if (count < 3 || strcmp(fields[0], census->name) != 0) return;
  if (group_password_usable(fields[1])) census->others_have_it = true;
  count_others_in(fields[2], census);
  if (count >= 4) count_others_in(fields[3], census);
}

// Whether gid is this user's private group, as Debian and Ubuntu give every
// user one: the primary group of this user's entry, nobody else's primary
// group, and with no member but this user.  Group write on such a folder is
// harmless, which a umask of 002 makes common (~/.cache at 0775).  Only the
// local account files count: a group they do not describe fully is taken as
// shared.  /etc/gshadow counts where it can be read (as root): elsewhere the
// members that /etc/group lists stand for all, as the system's tools write
// each member to both files, and only root can write either.  Read once per
// group, since most folders share one.
static bool private_group(gid_t gid) {
  static gid_t known_gid;
  static int known = -1;
  if (known >= 0 && known_gid == gid) return known == 1;
  group_census census;
  memset(&census, 0, sizeof census);
  census.gid = gid;
  bool read = each_account_line("/etc/passwd", count_primary_group, &census) == ACCOUNTS_READ &&
              census.user[0] != 0 &&
              each_account_line("/etc/group", count_group_members, &census) == ACCOUNTS_READ &&
              each_account_line("/etc/gshadow", count_shadow_members, &census) != ACCOUNTS_DAMAGED;
  known_gid = gid;
  known = read && census.user_has_it && census.listed && !census.others_have_it &&
          !census.unknowable;
  return known == 1;
}

// Whether others than the owner can add, replace or rename entries of the
// folder: write for others, or write for a group other than the user's private
// one.  Where the folder has an access list, its group bits are the list's
// mask, and write there may belong to any named user or group.
static bool others_can_write(const char* path, const struct stat* status) {
  if ((status->st_mode & S_IWOTH) != 0) return true;
  if ((status->st_mode & S_IWGRP) == 0) return false;
  ssize_t acl = lgetxattr(path, "system.posix_acl_access", nullptr, 0);
  return acl >= 0 || (errno != ENODATA && errno != ENOTSUP) || !private_group(status->st_gid);
}

// Whether a folder above the target directory is safe: owned by root or by
// this user, and when others may write to it, sticky, so that they cannot
// rename or replace what this user keeps there.
static platform_trust judge_folder_above(const char* path, const struct stat* status) {
  if (status->st_uid != 0 && status->st_uid != geteuid()) return PLATFORM_NOT_OWNED;
  if ((status->st_mode & S_ISVTX) == 0 && others_can_write(path, status)) {
    return PLATFORM_OTHERS_CAN_WRITE;
  }
  return PLATFORM_TRUSTED;
}

// The target directory itself: this user's, and nobody else's to write; or
// root's and nobody else's to write at all (a cache that root made beside a
// launcher in /opt, say), which the launcher only reads.  Where such a start
// must write, the open fails as any refused write does.  Where root's folder
// has an access list, its group bits are the list's mask, which bounds every
// named entry, so no write there means no write for anyone but root.
static platform_trust judge_target(const char* path, const struct stat* status) {
  if (status->st_uid == 0 && status->st_uid != geteuid()) {
    return (status->st_mode & (S_IWGRP | S_IWOTH)) != 0 ? PLATFORM_OTHERS_CAN_WRITE : PLATFORM_TRUSTED;
  }
  if (status->st_uid != geteuid()) return PLATFORM_NOT_OWNED;
  if (others_can_write(path, status)) return PLATFORM_OTHERS_CAN_WRITE;
  return PLATFORM_TRUSTED;
}

// Widens a path for a message, cut to fit.
static void widen_cut(const char* text, wchar_t* out, size_t capacity) {
  if (capacity == 0) return;
  if (widen(text, out, capacity) == (size_t)-1) out[capacity - 1] = 0;
}

// Looks at the component at path; one that is missing is made first, 0700.
// Its folder has been judged already, so a folder made here stays this
// user's: nobody else can rename it away.  One that another process made
// meanwhile is simply looked at and judged like any other.
static platform_trust look_or_make(const char* path, struct stat* status, bool* made) {
  *made = false;
  if (lstat(path, status) == 0) return PLATFORM_TRUSTED;
  if (errno != ENOENT) return errno == ENOTDIR ? PLATFORM_NOT_MADE : PLATFORM_TRUST_UNREADABLE;
  if (mkdir(path, 0700) == 0) {
    *made = true;
  } else if (errno != EEXIST) {
    return PLATFORM_NOT_MADE;
  }
  return lstat(path, status) == 0 ? PLATFORM_TRUSTED : PLATFORM_TRUST_UNREADABLE;
}

// Walks the path from the root one component at a time with lstat, as
// realpath would, making what is missing and following each symbolic link
// under the same rules: a link counts as part of the folder that holds it
// (already judged) and must belong to root or this user, since in a sticky
// folder its owner may replace it.  Judges every folder it passes on the way
// and, at the end, the target directory.  When all of it exists that is one
// lstat per component.
//
// The launcher then works by path, not relative to a descriptor of the
// target: once every folder of the chain belongs to root or the user and
// any that others may write is sticky, no other account can rename, replace
// or re-point any part of it, so the path names the judged folder until the
// process ends.  Descriptors would add nothing against other accounts, and
// the child could not be started by one: a "#!" main binary is opened again
// by its interpreter, by name.
platform_trust platform_secure_directory(const wchar_t* directory, wchar_t* culprit,
                                         size_t capacity, bool* made) {
  *made = false;
  static char pending[2 * PATH_MAX + 2];  // components still to walk
  static char resolved[PATH_MAX + 1];     // the walked part, free of links
  static char link[PATH_MAX + 1];
  const char* name = narrow(directory);
  if (name == nullptr || strlen(name) >= sizeof pending) {
    widen_cut(name != nullptr ? name : "", culprit, capacity);
    return PLATFORM_TRUST_UNREADABLE;
  }
  strcpy(pending, name);
  strcpy(resolved, "/");
  size_t next = 0;
  int links = 0;
  struct stat status, folder;
  bool folder_known = false;  // folder holds the status of resolved
  for (;;) {
    while (pending[next] == '/') ++next;
    if (pending[next] == 0) break;
    size_t end = next;
    while (pending[end] != 0 && pending[end] != '/') ++end;
    size_t part = end - next;
    size_t length = strlen(resolved);
    if (part == 1 && pending[next] == '.') {
      next = end;
      continue;
    }
    // The folder that will hold this component is a folder above the target,
    // and so is one that ".." leaves: the kernel passes through whatever
    // stands there at the start, so it must be one that nobody else can swap.
    if (!folder_known && lstat(resolved, &folder) != 0) {
      widen_cut(resolved, culprit, capacity);
      return PLATFORM_TRUST_UNREADABLE;
    }
    platform_trust above = judge_folder_above(resolved, &folder);
    if (above != PLATFORM_TRUSTED) {
      widen_cut(resolved, culprit, capacity);
      return above;
    }
    if (part == 2 && pending[next] == '.' && pending[next + 1] == '.') {
      while (length > 1 && resolved[length - 1] != '/') --length;
      resolved[length > 1 ? length - 1 : 1] = 0;
      folder_known = false;
      next = end;
      continue;
    }
    size_t joined = length + (length > 1 ? 1 : 0) + part;
    if (joined >= sizeof resolved) {
      widen_cut(resolved, culprit, capacity);
      return PLATFORM_TRUST_UNREADABLE;
    }
    if (length > 1) resolved[length++] = '/';
    memcpy(resolved + length, pending + next, part);
    resolved[length + part] = 0;
    next = end;
    // The last component looked at is the target directory itself.
    platform_trust seen = look_or_make(resolved, &status, made);
    if (seen != PLATFORM_TRUSTED) {
      widen_cut(resolved, culprit, capacity);
      return seen;
    }
    folder = status;
    folder_known = !S_ISLNK(status.st_mode);
    if (folder_known) continue;
    if (status.st_uid != 0 && status.st_uid != geteuid()) {
      widen_cut(resolved, culprit, capacity);
      return PLATFORM_NOT_OWNED;
    }
    ssize_t got = readlink(resolved, link, sizeof link - 1);
    if (got <= 0 || ++links > 40 || (size_t)got + 1 + strlen(pending + next) >= sizeof pending) {
      widen_cut(resolved, culprit, capacity);
      return PLATFORM_TRUST_UNREADABLE;
    }
    link[got] = 0;
    // What the link names takes its place among the components to walk.
    size_t rest = strlen(pending + next);
    memmove(pending + got, pending + next, rest + 1);
    memcpy(pending, link, (size_t)got);
    next = 0;
    resolved[length > 1 ? length - 1 : 1] = 0;
    if (link[0] == '/') strcpy(resolved, "/");
  }
  if (!folder_known && lstat(resolved, &folder) != 0) {
    widen_cut(resolved, culprit, capacity);
    return PLATFORM_TRUST_UNREADABLE;
  }
  platform_trust target = judge_target(resolved, &folder);
  if (target != PLATFORM_TRUSTED) widen_cut(resolved, culprit, capacity);
  return target;
}

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

static void let_go_below(size_t depth);

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

// ---------------------------------------------------------------- inside

// The folders held below the target directory: Held[0] is the target
// directory, Held[i] the folder whose path is HeldPath's first HeldEnds[i]
// units, each opened relative to the one before.  HeldDepth 0: none.
static const size_t HELD_PATH_CAPACITY = 4 * 4096;
static const size_t HELD_DEPTH = 4096;
static wchar_t HeldPath[HELD_PATH_CAPACITY];
static size_t HeldEnds[HELD_DEPTH];
static int Held[HELD_DEPTH];
static size_t HeldDepth;

static int folder_holding(const wchar_t* path, const char** leaf) {
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

static void let_go_below(size_t depth) {
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
  if (mkdirat(folder, leaf, 0700) != 0 && errno != EEXIST) return -1;
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
      widen_cut(target != nullptr ? target : "", culprit, capacity);
      return PLATFORM_TRUST_UNREADABLE;
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
      trust = failure == ENOENT || failure == ENOTDIR ? PLATFORM_NOT_MADE : PLATFORM_TRUST_UNREADABLE;
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

// ---------------------------------------------------------------- quick start

static uint64_t nanoseconds(const struct timespec& time) {
  return (uint64_t)time.tv_sec * 1000000000u + (uint64_t)time.tv_nsec;
}

// The walk's root, opened at its first path: the chain above it has been
// judged, and no other account can change it.  Each path is then looked up
// from it, not from "/".
static int FactsRoot = -1;

bool platform_read_facts(const wchar_t* path, size_t base, size_t, platform_file_facts* facts) {
  if (FactsRoot < 0) {
    if (base == 0 || base > UTF8_CAPACITY / 4) return false;
    static wchar_t root[UTF8_CAPACITY / 4];
    wmemcpy(root, path, base - 1);
    root[base - 1] = 0;
    const char* name = narrow(root);
    if (name == nullptr) return false;
    FactsRoot = open(name, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (FactsRoot < 0) return false;
  }
  const char* name = narrow(path + base);
  struct stat status;
  if (name == nullptr || fstatat(FactsRoot, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
  facts->kind = S_ISREG(status.st_mode)   ? PLATFORM_FACTS_FILE
                : S_ISDIR(status.st_mode) ? PLATFORM_FACTS_FOLDER
                                          : PLATFORM_FACTS_OTHER;
  facts->size = (uint64_t)status.st_size;
  facts->change_time = nanoseconds(status.st_ctim);
  facts->write_time = nanoseconds(status.st_mtim);
  facts->identity = (uint64_t)status.st_ino;
  facts->volume = (uint64_t)status.st_dev;
  facts->access = (uint64_t)status.st_uid << 32 | (uint64_t)status.st_mode;
  return true;
}

void platform_forget_facts(void) {
  if (FactsRoot >= 0) close(FactsRoot);
  FactsRoot = -1;
}

bool platform_read_stamp(const wchar_t* path, unsigned char* data, size_t size) {
  const char* name = narrow(path);
  if (name == nullptr) return false;
  int fd = open(name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat status;
  bool whole = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1 &&
               status.st_uid == geteuid() && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
               status.st_size == (off_t)size && read(fd, data, size) == (ssize_t)size;
  close(fd);
  return whole;
}

static char StampName[UTF8_CAPACITY];

bool platform_write_stamp(const wchar_t* path, const unsigned char* data, size_t size) {
  static const char NEW_SUFFIX[] = ".new";
  if (!narrow_into(path, StampName, UTF8_CAPACITY - sizeof NEW_SUFFIX)) return false;
  const char* fresh = NarrowBuffer;
  memcpy(NarrowBuffer, StampName, strlen(StampName));
  memcpy(NarrowBuffer + strlen(StampName), NEW_SUFFIX, sizeof NEW_SUFFIX);
  unlink(fresh);
  int fd = open(fresh, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  bool written = write(fd, data, size) == (ssize_t)size;
  close(fd);
  if (written && rename(fresh, StampName) == 0) return true;
  unlink(fresh);
  return false;
}

void platform_remove_stamp(const wchar_t* path) {
  const char* name = narrow(path);
  if (name != nullptr) unlink(name);
}

// ---------------------------------------------------------------- environment

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

// ---------------------------------------------------------------- identity, time

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

// ---------------------------------------------------------------- arguments

static int ArgumentCount;
static char** Arguments;
static wchar_t** WideArguments;

// What the launcher's parent gave it, for the child to get the same: the
// blocked signals and whether SIGXFSZ was ignored.
static sigset_t InheritedMask;
static bool FileSizeSignalIgnored;

// A standard descriptor that was closed at start is taken by a stand-in, so
// that none of the launcher's own files gets its number: an error line would
// land in it.  The stand-in is "/" opened as a bare path, which reads and
// writes nothing (EBADF, as a closed descriptor gives), and it closes on
// exec, so the child finds the descriptor closed, as a direct start leaves it.
static void hold_closed_standard_descriptors(void) {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // A new descriptor takes the lowest free number: fd.
    if (open("/", O_PATH | O_CLOEXEC) < 0) return;
  }
}

// A write past the file size limit (ulimit -f) would end the launcher by
// SIGXFSZ, without a word and with a main binary cut short.  Ignored, the
// write fails with EFBIG and the launcher reports it as any failed write.
static void take_file_size_signal(void) {
  struct sigaction current;
  FileSizeSignalIgnored = sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
  signal(SIGXFSZ, SIG_IGN);
}

void platform_keep_arguments(int count, char** arguments) {
  hold_closed_standard_descriptors();
  sigprocmask(SIG_BLOCK, nullptr, &InheritedMask);
  take_file_size_signal();
  ArgumentCount = count;
  Arguments = arguments;
  // Messages quote paths with %ls, which needs a character type that can
  // spell them.
  setlocale(LC_CTYPE, "C.UTF-8");
}

static wchar_t* widen_copy(const char* text) {
  size_t capacity = strlen(text) + 1;
  wchar_t* copy = (wchar_t*)malloc(capacity * sizeof(wchar_t));
  if (copy != nullptr) widen(text, copy, capacity);
  return copy;
}

wchar_t** platform_launcher_arguments(int* count) {
  if (WideArguments == nullptr && Arguments != nullptr && ArgumentCount > 0) {
    wchar_t** list = (wchar_t**)calloc((size_t)ArgumentCount + 1, sizeof(wchar_t*));
    if (list == nullptr) return nullptr;
    for (int i = 0; i < ArgumentCount; ++i) {
      list[i] = widen_copy(Arguments[i]);
      if (list[i] == nullptr) return nullptr;
    }
    WideArguments = list;
  }
  *count = WideArguments != nullptr ? ArgumentCount : 0;
  return WideArguments;
}

const wchar_t* platform_argument_zero(void) {
  int count = 0;
  wchar_t** list = platform_launcher_arguments(&count);
  return list != nullptr ? list[0] : nullptr;
}

// ---------------------------------------------------------------- processes

// The signals that stand for console control events.
static const int ConsoleSignals[4] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};


// A SIGCHLD that the launcher's parent set to be ignored would have the
// kernel reap the child at once, leaving no exit code to read and a process
// id free for reuse.  The launcher takes the default for itself and gives the
// child the ignored disposition back, as a direct start would have.
static bool take_child_signal(void) {
  struct sigaction current;
  if (sigaction(SIGCHLD, nullptr, &current) != 0) return false;
  bool ignored = current.sa_handler == SIG_IGN;
  if (ignored || (current.sa_flags & SA_NOCLDWAIT) != 0) {
    struct sigaction fallback;
    memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGCHLD, &fallback, nullptr);
  }
  return ignored;
}

// vfork and exec, as posix_spawn does, with one step it lacks: setting a
// signal to be ignored.  Every signal stays blocked until the new program is
// in place, so no handler of the launcher runs in the child; the console
// signals and SIGXFSZ go back to what the launcher was given, and so does
// the set of blocked signals.
static int spawn(pid_t* pid, const char* path, char** vector, bool ignore_child_signal) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pid_t started = vfork();
  if (started == 0) {
    for (int signal_number : ConsoleSignals) {
      struct sigaction current;
      if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
        signal(signal_number, SIG_DFL);
      }
    }
    if (ignore_child_signal) signal(SIGCHLD, SIG_IGN);
    if (!FileSizeSignalIgnored) signal(SIGXFSZ, SIG_DFL);
    sigprocmask(SIG_SETMASK, &InheritedMask, nullptr);
    execve(path, vector, environ);
    int failure = errno;
    ssize_t ignored = write(report[1], &failure, sizeof failure);
    (void)ignored;
    _exit(127);
  }
  int failure = started < 0 ? errno : 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  close(report[1]);
  if (started > 0) {
    // Nothing to read: the program is running.  An errno: exec failed.
    ssize_t got;
    while ((got = read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    if (got == (ssize_t)sizeof failure) {
      int status;
      while (waitpid(started, &status, 0) < 0 && errno == EINTR) {
      }
    } else {
      failure = 0;
    }
  }
  close(report[0]);
  *pid = started;
  return failure;
}

bool platform_start_child(const wchar_t* application, wchar_t*, wchar_t* const* arguments,
                          int count, platform_handle* process) {
  char* path = narrow_copy(application);
  char** vector = (char**)calloc((size_t)count + 1, sizeof(char*));
  if (path == nullptr || vector == nullptr) {
    errno = ENOMEM;
    return false;
  }
  int used = 0;
  for (int i = 0; i < count; ++i) {
    if (i > 0 && arguments[i][0] == 0) continue;  // empty ones are dropped
    vector[used] = narrow_copy(arguments[i]);
    if (vector[used] == nullptr) {
      errno = ENOMEM;
      return false;
    }
    ++used;
  }
  pid_t pid = 0;
  int result = spawn(&pid, path, vector, take_child_signal());
  if (result != 0) {
    errno = result;
    return false;
  }
  *process = (platform_handle)pid;
  return true;
}

// Waits, or polls, for the child's end without reaping it, so that its id
// cannot pass to another process while the handler may still signal it.
static bool child_has_ended(pid_t pid, int flags, siginfo_t* info) {
  for (;;) {
    memset(info, 0, sizeof *info);
    if (waitid(P_PID, (id_t)pid, info, WEXITED | WNOWAIT | flags) == 0) {
      return info->si_pid == pid;
    }
    if (errno != EINTR) return false;
  }
}

bool platform_wait_process(platform_handle process, uint32_t milliseconds) {
  siginfo_t info;
  pid_t pid = (pid_t)process;
  if (milliseconds == PLATFORM_WAIT_FOREVER) return child_has_ended(pid, 0, &info);
  int64_t deadline = platform_performance_counter() + (int64_t)milliseconds * 1000000;
  for (;;) {
    if (child_has_ended(pid, WNOHANG, &info)) return true;
    if (platform_performance_counter() >= deadline) return false;
    struct timespec pause = {0, 10 * 1000000};
    nanosleep(&pause, nullptr);
  }
}

// The signal that ended the child, once its exit code has been read; 0 when
// it exited.
static int ChildEndSignal;

bool platform_process_exit_code(platform_handle process, uint32_t* code) {
  siginfo_t info;
  if (!child_has_ended((pid_t)process, WNOHANG, &info)) return false;
  if (info.si_code == CLD_EXITED) {
    *code = (uint32_t)info.si_status;
  } else {
    *code = 128 + (uint32_t)info.si_status;
    ChildEndSignal = info.si_status;
  }
  return true;
}

void platform_terminate_process(platform_handle process, uint32_t) {
  kill((pid_t)process, SIGKILL);
}

void platform_release_process(platform_handle process) {
  int status;
  while (waitpid((pid_t)process, &status, 0) < 0 && errno == EINTR) {
  }
}

// The console signals.  The handler only writes the signal to a pipe; a
// thread of its own reads it and runs the launcher's handler, then lets the
// signal take its default course.
static int SignalPipe[2] = {-1, -1};
static volatile sig_atomic_t ConsoleEventRunning;
static int CurrentSignal;
static bool CurrentSignalFromTerminal;

static platform_console_handler ConsoleHandler;

static platform_console_event event_for_signal(int signal_number) {
  switch (signal_number) {
    case SIGINT: return PLATFORM_CONSOLE_INTERRUPT;
    case SIGQUIT: return PLATFORM_CONSOLE_BREAK;
    case SIGHUP: return PLATFORM_CONSOLE_CLOSE;
    default: return PLATFORM_CONSOLE_SHUTDOWN;
  }
}

static void on_console_signal(int signal_number, siginfo_t* info, void*) {
  int saved = errno;
  // The terminal's signals come from the kernel and reach the whole process
  // group, the child included; kill() from a process reaches us alone.
  int message[2] = {signal_number, info != nullptr && info->si_code == SI_KERNEL};
  // Marked here, not on the thread: a child that the same Ctrl+C ends may
  // hand the main thread its exit code before the thread has run, and the
  // launcher must then still end by the signal.
  ConsoleEventRunning = 1;
  ssize_t ignored = write(SignalPipe[1], message, sizeof message);
  (void)ignored;
  errno = saved;
}

static void* console_event_thread(void*) {
  int message[2];
  for (;;) {
    ssize_t got = read(SignalPipe[0], message, sizeof message);
    if (got == (ssize_t)sizeof message) break;
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return nullptr;
  }
  ConsoleEventRunning = 1;
  CurrentSignal = message[0];
  CurrentSignalFromTerminal = message[1] != 0;
  ConsoleHandler(event_for_signal(message[0]));
  // The default course: the launcher ends by the very signal it received.
  signal(message[0], SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, message[0]);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(message[0]);
  for (;;) pause();
}

void platform_pass_event_to_child(platform_handle process, platform_console_event) {
  if (!CurrentSignalFromTerminal && CurrentSignal != 0) {
    kill((pid_t)process, CurrentSignal);
  }
}

bool platform_register_console_handler(platform_console_handler handler) {
  ConsoleHandler = handler;
  if (pipe2(SignalPipe, O_CLOEXEC) != 0) return false;
  // A storm of signals that fills the pipe must not block the handler; the
  // first one is all the reading thread needs.
  fcntl(SignalPipe[1], F_SETFL, fcntl(SignalPipe[1], F_GETFL) | O_NONBLOCK);
  // The thread itself takes no console signal; the handler runs elsewhere.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  for (int signal_number : ConsoleSignals) sigaddset(&blocked, signal_number);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  pthread_t thread;
  int started = pthread_create(&thread, nullptr, console_event_thread, nullptr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (started != 0) return false;
  pthread_detach(thread);
  for (int signal_number : ConsoleSignals) {
    struct sigaction current;
    // A signal the launcher's parent chose to ignore (nohup, say) stays
    // ignored, for the launcher and its child alike.
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = on_console_signal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(signal_number, &action, nullptr) != 0) return false;
  }
  return true;
}

void platform_abort(void) {
  abort();
}

void platform_refuse_dialogs(void) {}

void platform_await_console_event(void) {
  if (ConsoleEventRunning) {
    for (;;) pause();
  }
}

// The signal's own default action ends the launcher, so that its parent sees
// what a direct start shows (a shell's "Killed", -9 in Python).  The
// launcher leaves no core of its own: one from the child is the child's, and
// the parent sees the launcher's status without the core flag.  A signal
// whose default action does not end a process cannot have ended the child;
// should the launcher live on all the same, the exit code stands.
void platform_end_as_the_child_ended(void) {
  if (ChildEndSignal == 0) return;
  prctl(PR_SET_DUMPABLE, 0);
  fflush(nullptr);
  signal(ChildEndSignal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, ChildEndSignal);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(ChildEndSignal);
}

#endif
