// zovari-piece-runner: runs one piece of the launcher's code in a process of its
// own, so that a test sees its output streams, its exit code and what it left
// on disk, starting from fresh process-wide state each time.
//
//   zovari-piece-runner read PAYLOAD COUNT... reads COUNT bytes at a time from the
//                                             payload file's stream; prints "read N"
//   zovari-piece-runner unpack PAYLOAD TARGET unpacks the payload file into TARGET;
//                                             prints "main=PATH" and "known=N"
//   zovari-piece-runner report MESSAGE CODE   report_system_error, then exit 2
//   zovari-piece-runner cmdline ARGUMENT...   builds the child command line from
//                                             the runner's own; prints "line=TEXT"
//                                             and one "arg=TEXT" per child argument
//   zovari-piece-runner dirs STEP...          directory creation steps:
//        p:PATH  ensure_parent_directories(PATH)
//        d:PATH  ensure_directory(PATH), prints "d=0" or "d=1"
//        fill:BASE:COUNT  ensure_directory of COUNT new folders in BASE,
//                         prints "created=N" (how many were true)
//        n       prints "known=N"
//        rmdir:PATH  removes an empty directory behind the table's back
//   zovari-piece-runner lock DIR MS [MARKER]  takes DIR's lock, waiting up to MS
//                                             milliseconds; prints "lock=1" or
//                                             "lock=0" and ends still holding it;
//                                             with MARKER, once it has the lock it
//                                             makes that file and ends when it is
//                                             gone
//
// A payload file holds a whole payload, magic first.  On Linux, options
// before the command make the system refuse what the launcher asks for:
//   --file-size-limit=N        files written may not grow beyond N bytes
//   --address-space-margin=N   once the payload is loaded, the process may
//                              map only N bytes more
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

#include "image/config.h"
#include "launcher/command_line.h"
#include "paths/bounded.h"
#include "paths/fatal.h"
#include "payload/directories.h"
#include "payload/directories_for_tests.h"
#include "payload/reader.h"
#include "payload/unpack.h"
#include "platform/platform.h"

#if ZOVARI_PLATFORM_WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

static std::string load_file(const wchar_t* path) {
  std::string data;
#if ZOVARI_PLATFORM_WIN32
  FILE* file = _wfopen(path, L"rb");
#else
  char narrow[4096];
  wcstombs(narrow, path, sizeof narrow);
  FILE* file = fopen(narrow, "rb");
#endif
  if (file == nullptr) {
    fprintf(stderr, "piece-runner: cannot read %ls\n", path);
    exit(100);
  }
  char piece[65536];
  size_t got;
  while ((got = fread(piece, 1, sizeof piece, file)) > 0) data.append(piece, got);
  fclose(file);
  return data;
}

static unsigned long long AddressSpaceMargin;

#if ZOVARI_PLATFORM_POSIX
static void limit_address_space(void) {
  unsigned long long pages = 0;
  FILE* status = fopen("/proc/self/statm", "r");
  if (status == nullptr || fscanf(status, "%llu", &pages) != 1) exit(100);
  fclose(status);
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max =
      (rlim_t)(pages * (unsigned long long)sysconf(_SC_PAGESIZE) + AddressSpaceMargin);
  setrlimit(RLIMIT_AS, &limit);
}
#endif

// The payload's bytes behind its magic, as the launcher hands them on.  The
// copy lives until the process ends.
static void start_reader(const wchar_t* path) {
  std::string* payload = new std::string(load_file(path));
  if (payload->size() < 3) exit(100);
#if ZOVARI_PLATFORM_POSIX
  if (AddressSpaceMargin != 0) limit_address_space();
#endif
  payload_reader_init(payload->data() + 3, payload->size() - 3);
}

static int command_read(int count, wchar_t** arguments) {
  start_reader(arguments[0]);
  unsigned long long total = 0;
  std::vector<unsigned char> buffer;
  for (int i = 1; i < count; ++i) {
    size_t amount = (size_t)wcstoull(arguments[i], nullptr, 10);
    buffer.resize(amount);
    payload_read(buffer.data(), amount);
    total += amount;
  }
  payload_reader_close();
  printf("read %llu\n", total);
  return 0;
}

static int command_unpack(int count, wchar_t** arguments) {
  if (count != 2) return 100;
  start_reader(arguments[0]);
  unpack_files(arguments[1]);
  payload_reader_finish();
  payload_reader_close();
  printf("main=%ls\nknown=%zu\n", unpack_main_binary_path(), known_directory_count());
  return 0;
}

static int command_report(int count, wchar_t** arguments) {
  if (count != 2) return 100;
  char message[1024];
  wcstombs(message, arguments[0], sizeof message);
  report_system_error(message, (uint32_t)wcstoul(arguments[1], nullptr, 0));
  fflush(stdout);
  exit(2);
}

static void remove_empty_directory(const wchar_t* path) {
#if ZOVARI_PLATFORM_WIN32
  RemoveDirectoryW(path);
#else
  char narrow[4096];
  wcstombs(narrow, path, sizeof narrow);
  rmdir(narrow);
#endif
}

static int command_cmdline(void) {
  build_child_command_line(build_value(BUILD_FIXED_ARGUMENTS), L"");
  printf("line=%ls\n", CommandLineBuffer);
  int count = 0;
  wchar_t* const* arguments = child_arguments(&count);
  for (int i = 0; i < count; ++i) printf("arg=%ls\n", arguments[i]);
  return 0;
}

static int command_dirs(int count, wchar_t** arguments) {
  for (int i = 0; i < count; ++i) {
    const wchar_t* step = arguments[i];
    if (wcsncmp(step, L"p:", 2) == 0) {
      ensure_parent_directories(step + 2);
    } else if (wcsncmp(step, L"d:", 2) == 0) {
      printf("d=%d\n", ensure_directory(step + 2) ? 1 : 0);
    } else if (wcsncmp(step, L"fill:", 5) == 0) {
      std::wstring base = step + 5;
      size_t colon = base.rfind(L':');
      unsigned long folders = wcstoul(base.c_str() + colon + 1, nullptr, 10);
      base.resize(colon);
      unsigned long created = 0;
      for (unsigned long k = 0; k < folders; ++k) {
        wchar_t name[32];
        swprintf(name, 32, L"%cd%04lu", (int)PLATFORM_SEPARATOR, k);
        created += ensure_directory((base + name).c_str()) ? 1 : 0;
      }
      printf("created=%lu\n", created);
    } else if (wcsncmp(step, L"rmdir:", 6) == 0) {
      remove_empty_directory(step + 6);
    } else if (wcscmp(step, L"n") == 0) {
      printf("known=%zu\n", known_directory_count());
    } else {
      return 100;
    }
  }
  return 0;
}

static FILE* open_file(const wchar_t* path, const char* mode) {
#if ZOVARI_PLATFORM_WIN32
  wchar_t wide_mode[8];
  mbstowcs(wide_mode, mode, 8);
  return _wfopen(path, wide_mode);
#else
  char narrow[4096];
  wcstombs(narrow, path, sizeof narrow);
  return fopen(narrow, mode);
#endif
}

static bool marker_exists(const wchar_t* path) {
#if ZOVARI_PLATFORM_WIN32
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
#else
  char narrow[4096];
  wcstombs(narrow, path, sizeof narrow);
  return access(narrow, F_OK) == 0;
#endif
}

static int command_lock(int count, wchar_t** arguments) {
  if (count != 2 && count != 3) return 100;
  platform_handle lock =
      platform_lock_directory(arguments[0], (uint32_t)wcstoul(arguments[1], nullptr, 10));
  printf("lock=%d\n", lock != 0 ? 1 : 0);
  if (count == 3 && lock != 0) {
    FILE* marker = open_file(arguments[2], "wb");
    if (marker == nullptr) return 100;
    fclose(marker);
    // Looked at, never opened: on Windows a file held open cannot be deleted,
    // and the test's removal would fail whenever it met one of the polls.  A
    // minute at most: a test that lost track of the marker must not hang.
    for (int polls = 0; polls < 6000 && marker_exists(arguments[2]); ++polls) {
#if ZOVARI_PLATFORM_WIN32
      Sleep(10);
#else
      usleep(10000);
#endif
    }
  }
  return 0;
}

static int run(int count, wchar_t** arguments) {
  // As the launcher: a crash ends the process with its exception code (Wine's
  // debugger would otherwise end it with 0 in a fresh prefix), an abort with 3.
  platform_refuse_dialogs();
  for (; count >= 2 && wcsncmp(arguments[1], L"--", 2) == 0; ++arguments, --count) {
#if ZOVARI_PLATFORM_POSIX
    if (wcsncmp(arguments[1], L"--file-size-limit=", 18) == 0) {
      // The write past the limit then fails with EFBIG instead of a signal.
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit;
      limit.rlim_cur = limit.rlim_max = (rlim_t)wcstoull(arguments[1] + 18, nullptr, 10);
      setrlimit(RLIMIT_FSIZE, &limit);
      continue;
    }
    if (wcsncmp(arguments[1], L"--address-space-margin=", 23) == 0) {
      AddressSpaceMargin = wcstoull(arguments[1] + 23, nullptr, 10);
      continue;
    }
#endif
    fputs("piece-runner: unknown option\n", stderr);
    return 100;
  }
  if (count < 2) return 100;
  const wchar_t* command = arguments[1];
  if (wcscmp(command, L"read") == 0 && count >= 3) return command_read(count - 2, arguments + 2);
  if (wcscmp(command, L"unpack") == 0) return command_unpack(count - 2, arguments + 2);
  if (wcscmp(command, L"report") == 0) return command_report(count - 2, arguments + 2);
  if (wcscmp(command, L"cmdline") == 0) return command_cmdline();
  if (wcscmp(command, L"dirs") == 0) return command_dirs(count - 2, arguments + 2);
  if (wcscmp(command, L"lock") == 0) return command_lock(count - 2, arguments + 2);
  fputs("piece-runner: unknown command\n", stderr);
  return 100;
}

#if ZOVARI_PLATFORM_WIN32
extern "C" int wmain(int argc, wchar_t** argv) {
  return run(argc, argv);
}
#else
int main(int argc, char** argv) {
  platform_keep_arguments(argc, argv);
  int count = 0;
  wchar_t** arguments = platform_launcher_arguments(&count);
  return run(count, arguments);
}
#endif
