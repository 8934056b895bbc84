/* The Windows floors of the benchmark: what the launcher's file work costs
 * at the least, with the same calls, for the same files, in one process.
 *
 *   floor_win32 read LIST ROOT     open each file, read it through a 256 KiB
 *                                  buffer into zlib crc32, close it (the
 *                                  warm start's file work)
 *   floor_win32 open LIST ROOT     open each file, read its size, close it
 *                                  (the same without the reading)
 *   floor_win32 absent LIST ROOT   try to open, beside each file, one of the
 *                                  same name and a "~" more, which is not
 *                                  there (what the cache test of a cold
 *                                  start costs, in folders already full)
 *   floor_win32 list ROOT MAIN     list every folder under ROOT once with
 *                                  FindFirstFileExW (basic information, large
 *                                  fetch), then start MAIN and wait for it
 *                                  (the quick start's floor)
 *   floor_win32 write STREAM ROOT  write every file of a decoded payload
 *                                  stream under ROOT (the cold start's file
 *                                  work)
 *
 * LIST holds one path relative to ROOT per line, in UTF-8 with "/" between
 * folders; each file is opened by its full path, as the launcher opens it.
 * STREAM is the payload's decoded record stream; it is mapped once, so its
 * records cost no per-file call.  The write floor creates each folder once
 * with CreateDirectoryW, and each file with CreateFileW (the launcher's share
 * mode and disposition), WriteFile in pieces of 32 KiB and CloseHandle.
 * Prints the file count and the XOR of the CRC-32 values or bytes written,
 * so that the work cannot be left out.  Exit code 0, or 1 with a message. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <zlib.h>

#define PATH_UNITS 4096
#define READ_PIECE (256 * 1024)
#define WRITE_PIECE (32 * 1024)

static unsigned char ReadBuffer[READ_PIECE];

static void fail(const char* what, const wchar_t* path) {
  fprintf(stderr, "floor_win32: %s %ls (error %lu)\n", what, path ? path : L"", GetLastError());
  exit(1);
}

/* ROOT and a relative UTF-8 name with "/" become one full wide path. */
static void join(wchar_t* out, const wchar_t* root, const char* relative) {
  size_t length = wcslen(root);
  if (length + 2 >= PATH_UNITS) fail("path too long:", root);
  memcpy(out, root, length * sizeof(wchar_t));
  out[length++] = L'\\';
  int got = MultiByteToWideChar(CP_UTF8, 0, relative, -1, out + length, (int)(PATH_UNITS - length));
  if (got <= 0) fail("cannot convert a name under", root);
  for (wchar_t* unit = out + length; *unit; ++unit) {
    if (*unit == L'/') *unit = L'\\';
  }
}

enum { OPEN_ONLY, READ_CONTENTS, EXPECT_NONE };

static int check_files(const char* list_path, const wchar_t* root, int work) {
  FILE* list = fopen(list_path, "rb");
  if (list == NULL) fail("cannot open the list", NULL);
  static char line[PATH_UNITS * 3];
  static wchar_t path[PATH_UNITS];
  unsigned long files = 0, crcs = 0;
  while (fgets(line, sizeof line, list) != NULL) {
    line[strcspn(line, "\r\n")] = 0;
    if (line[0] == 0) continue;
    join(path, root, line);
    if (work == EXPECT_NONE) {
      size_t length = wcslen(path);
      if (length + 2 >= PATH_UNITS) fail("path too long:", path);
      path[length] = L'~';
      path[length + 1] = 0;
    }
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (work == EXPECT_NONE) {
      if (file != INVALID_HANDLE_VALUE) fail("found", path);
      ++files;
      continue;
    }
    if (file == INVALID_HANDLE_VALUE) fail("cannot open", path);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) fail("no size of", path);
    if (work == READ_CONTENTS) {
      uLong crc = crc32(0L, Z_NULL, 0);
      for (LONGLONG left = size.QuadPart; left > 0;) {
        DWORD wanted = left < READ_PIECE ? (DWORD)left : READ_PIECE;
        DWORD got = 0;
        if (!ReadFile(file, ReadBuffer, wanted, &got, NULL) || got == 0) fail("cannot read", path);
        crc = crc32(crc, ReadBuffer, got);
        left -= got;
      }
      crcs ^= crc;
    }
    CloseHandle(file);
    ++files;
  }
  fclose(list);
  printf("%lu %08lx\n", files, crcs);
  return 0;
}

/* Folders already made, by full path: open addressing over FNV-1a hashes. */
#define FOLDER_SLOTS 65536
static wchar_t* Folders[FOLDER_SLOTS];

static wchar_t** folder_slot(const wchar_t* path, size_t length) {
  unsigned long long hash = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < length; ++i) hash = (hash ^ path[i]) * 0x100000001b3ull;
  for (size_t slot = (size_t)hash % FOLDER_SLOTS;; slot = (slot + 1) % FOLDER_SLOTS) {
    wchar_t* known = Folders[slot];
    if (known == NULL || (wcsncmp(known, path, length) == 0 && known[length] == 0)) {
      return &Folders[slot];
    }
  }
}

/* Makes the folders of path's parent that this run has not made yet, from
 * the top down, as the launcher's directory creation does. */
static void make_parents(wchar_t* path, size_t root_length) {
  size_t cut = wcslen(path);
  while (cut > root_length && path[cut] != L'\\') --cut;
  if (cut <= root_length) cut = root_length;
  wchar_t** slot = folder_slot(path, cut);
  if (*slot != NULL) return;
  if (cut > root_length) {
    wchar_t saved = path[cut];
    path[cut] = 0;
    make_parents(path, root_length);
    path[cut] = saved;
  }
  wchar_t saved = path[cut];
  path[cut] = 0;
  if (!CreateDirectoryW(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
    fail("cannot create the folder", path);
  }
  *slot = _wcsdup(path);
  path[cut] = saved;
}

static int write_files(const char* stream_path, const wchar_t* root) {
  HANDLE input = CreateFileA(stream_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (input == INVALID_HANDLE_VALUE) fail("cannot open the stream", NULL);
  LARGE_INTEGER size;
  if (!GetFileSizeEx(input, &size)) fail("no size of the stream", NULL);
  HANDLE mapping = CreateFileMappingW(input, NULL, PAGE_READONLY, 0, 0, NULL);
  const unsigned char* next = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
  if (next == NULL) fail("cannot map the stream", NULL);
  const unsigned char* end = next + size.QuadPart;
  static wchar_t path[PATH_UNITS];
  size_t root_length = wcslen(root);
  memcpy(path, root, root_length * sizeof(wchar_t));
  path[root_length] = L'\\';
  unsigned long files = 0;
  unsigned long long bytes = 0;
  for (;;) {
    size_t length = root_length + 1;
    for (;;) {
      if (next + 2 > end || length + 1 >= PATH_UNITS) fail("stream cut short", NULL);
      wchar_t unit = (wchar_t)(next[0] | next[1] << 8);
      next += 2;
      path[length] = unit;
      if (unit == 0) break;
      ++length;
    }
    if (length == root_length + 1) break;
    if (next + 12 > end) fail("stream cut short", NULL);
    unsigned long long data_size = 0;
    for (int i = 7; i >= 0; --i) data_size = data_size << 8 | next[i];
    next += 12;
    if ((unsigned long long)(end - next) < data_size) fail("stream cut short", NULL);
    make_parents(path, root_length);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) fail("cannot create", path);
    for (unsigned long long left = data_size; left > 0;) {
      DWORD piece = left < WRITE_PIECE ? (DWORD)left : WRITE_PIECE;
      DWORD written = 0;
      if (!WriteFile(file, next, piece, &written, NULL) || written != piece) fail("cannot write", path);
      next += piece;
      left -= piece;
    }
    CloseHandle(file);
    ++files;
    bytes += data_size;
  }
  printf("%lu %llu\n", files, bytes);
  return 0;
}

/* Lists the folder at path (PATH_UNITS units) and every folder below it. */
static unsigned long list_folder(wchar_t* path, unsigned long* times) {
  size_t length = wcslen(path);
  if (length + 3 >= PATH_UNITS) fail("path too long:", path);
  wcscpy(path + length, L"\\*");
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, NULL,
                                   FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) fail("cannot list", path);
  unsigned long files = 0;
  do {
    if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (length + 2 + wcslen(found.cFileName) >= PATH_UNITS) fail("path too long:", path);
      path[length] = L'\\';
      wcscpy(path + length + 1, found.cFileName);
      files += list_folder(path, times);
    } else {
      *times ^= found.ftLastWriteTime.dwLowDateTime;
      ++files;
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  path[length] = 0;
  return files;
}

static int list_and_start(const wchar_t* root, wchar_t* main_binary) {
  static wchar_t path[PATH_UNITS];
  if (wcslen(root) >= PATH_UNITS) fail("path too long:", root);
  wcscpy(path, root);
  unsigned long times = 0;
  unsigned long files = list_folder(path, &times);
  STARTUPINFOW startup = {sizeof startup};
  PROCESS_INFORMATION process;
  DWORD code = 1;
  if (!CreateProcessW(main_binary, NULL, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
    fail("cannot start", main_binary);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &code);
  if (code != 0) fail("a failed start of", main_binary);
  printf("%lu %08lx\n", files, times);
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && wcscmp(argv[1], L"list") == 0) return list_and_start(argv[2], argv[3]);
  if (argc == 4) {
    static char narrow[PATH_UNITS * 3];
    if (WideCharToMultiByte(CP_ACP, 0, argv[2], -1, narrow, sizeof narrow, NULL, NULL) <= 0) {
      fail("cannot convert", argv[2]);
    }
    if (wcscmp(argv[1], L"read") == 0) return check_files(narrow, argv[3], READ_CONTENTS);
    if (wcscmp(argv[1], L"open") == 0) return check_files(narrow, argv[3], OPEN_ONLY);
    if (wcscmp(argv[1], L"absent") == 0) return check_files(narrow, argv[3], EXPECT_NONE);
    if (wcscmp(argv[1], L"write") == 0) return write_files(narrow, argv[3]);
  }
  fprintf(stderr, "usage: floor_win32 read|open|absent LIST ROOT, floor_win32 write STREAM ROOT, "
                  "or floor_win32 list ROOT MAIN\n");
  return 2;
}
