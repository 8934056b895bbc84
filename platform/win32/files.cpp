// Files: created and written without following a link or writing through
// another name, retried while another process holds them, read through one
// buffer.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>

#include "platform/held_folders.h"
#include "platform/win32/shared.h"

// How long a write waits for another process to let go of the file.  Virus
// scanners, indexers and backup agents open a file that was just written and
// hold it for tens to hundreds of milliseconds, a second or two on a busy
// disk; five seconds outlasts them with room to spare, and a start that
// cannot write still ends with its message soon enough for a user to see
// why.  The pauses start short, so a file let go quickly costs little.
static const ULONGLONG HELD_FILE_PATIENCE_MS = 5000;
static const DWORD HELD_FILE_LONGEST_PAUSE_MS = 100;

static bool held_by_another_process(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_USER_MAPPED_FILE;
}

// After a failure with error: pauses and returns true when another process
// holds the file and the patience counted from *started (0: not yet) is not
// spent; false otherwise, with the error kept for the report.
static bool wait_for_holder(DWORD error, ULONGLONG* started, DWORD* pause) {
  if (!held_by_another_process(error)) return false;
  ULONGLONG now = GetTickCount64();
  if (*started == 0) *started = now;
  if (now - *started >= HELD_FILE_PATIENCE_MS) {
    SetLastError(error);
    return false;
  }
  Sleep(*pause);
  *pause = *pause * 2 < HELD_FILE_LONGEST_PAUSE_MS ? *pause * 2 : HELD_FILE_LONGEST_PAUSE_MS;
  SetLastError(error);
  return true;
}

// What a file's handle tells of it, without the volume serial number that
// GetFileInformationByHandle adds, which costs Wine a round trip to its
// mount manager at every file.
struct file_facts {
  DWORD attributes;
  DWORD links;
  uint64_t length;
};

static bool read_file_facts(HANDLE file, file_facts* facts) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  FILE_STANDARD_INFO standard;
  if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
      !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
    return false;
  }
  facts->attributes = tag.FileAttributes;
  facts->links = standard.NumberOfLinks;
  facts->length = (uint64_t)standard.EndOfFile.QuadPart;
  return true;
}

// What makes a file no plain one: a folder, a link or other reparse point
// (opened itself, not followed), a device.
static const DWORD NOT_PLAIN = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;

// Whether the file behind the handle may hold a record's contents: a plain
// file that only the user and the system can change (by its owner and its
// access list, or on the launcher's own owner-less volume).  Another account
// could change what it holds after it was checked.  Its length goes to
// *length.
static bool plain_file_of_the_user(HANDLE file, uint64_t* length) {
  file_facts facts;
  if (!read_file_facts(file, &facts)) return false;
  *length = facts.length;
  return (facts.attributes & NOT_PLAIN) == 0 && inside_trust(file) == PLATFORM_TRUSTED;
}

// Opens the file at path itself: a link there is opened, not followed.
static HANDLE open_without_following(const wchar_t* path, DWORD access, DWORD flags) {
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
}

// Removes what stands at path, never what it leads to: a file, read-only or
// not, or a link itself; a folder only when it is empty (what lies in one
// may be the user's, and the open then fails).
static bool remove_at(const wchar_t* path, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (DeleteFileW(path) || GetLastError() == ERROR_FILE_NOT_FOUND) return true;
  DWORD failure = GetLastError();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && RemoveDirectoryW(path)) return true;
  SetLastError(failure);
  return false;
}

// Opens the file at path for writing, length 0.  A new name costs one open;
// an existing file is written over only when it is a plain file, with no
// other name, that the user may write and nobody else may change, and
// otherwise removed (a link itself, never what it leads to; a folder only
// when empty) and made anew: another account's file or one others can write,
// a read-only one, a device.  A file that another process holds fails, so
// that the caller waits for it.
static HANDLE open_for_writing(const wchar_t* path, DWORD share) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, share, nullptr, CREATE_NEW, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  file = CreateFileW(path, GENERIC_WRITE | READ_CONTROL | FILE_READ_ATTRIBUTES, share, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // A read-only file, a folder, or one whose owner or list keeps the user
    // out: looked at by path, and replaced.
    DWORD failure = GetLastError();
    DWORD attributes = GetFileAttributesW(path);
    SetLastError(failure);
    if (failure != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES) return INVALID_HANDLE_VALUE;
    if (!remove_at(path, attributes)) return INVALID_HANDLE_VALUE;
    return CreateFileW(path, GENERIC_WRITE, share, nullptr, CREATE_NEW, 0, nullptr);
  }
  file_facts facts;
  if (!read_file_facts(file, &facts)) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  bool replace = (facts.attributes & (NOT_PLAIN | FILE_ATTRIBUTE_READONLY)) != 0 || facts.links > 1 ||
                 inside_trust(file) != PLATFORM_TRUSTED;
  if (!replace) {
    if (SetEndOfFile(file)) return file;
    DWORD failure = GetLastError();
    CloseHandle(file);
    SetLastError(failure);
    return INVALID_HANDLE_VALUE;
  }
  CloseHandle(file);
  if (!remove_at(path, facts.attributes)) return INVALID_HANDLE_VALUE;
  return CreateFileW(path, GENERIC_WRITE, share, nullptr, CREATE_NEW, 0, nullptr);
}

platform_handle platform_create_file(const wchar_t* path, bool, bool let_readers_in) {
  DWORD share = let_readers_in ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_WRITE;
  ULONGLONG started = 0;
  DWORD pause = 10;
  for (;;) {
    HANDLE file = open_for_writing(path, share);
    if (file != INVALID_HANDLE_VALUE) return (platform_handle)file;
    if (!wait_for_holder(GetLastError(), &started, &pause)) return 0;
  }
}

bool platform_write_file(platform_handle file, const void* data, uint32_t size) {
  const char* next = (const char*)data;
  ULONGLONG started = 0;
  DWORD pause = 10;
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(as_handle(file), next, size, &written, nullptr)) {
      // Another process's byte-range lock over the piece: the same wait.
      if (wait_for_holder(GetLastError(), &started, &pause)) continue;
      return false;
    }
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    next += written;
    size -= written;
  }
  return true;
}

void platform_close_file(platform_handle file) {
  CloseHandle(as_handle(file));
}

// Contents are read through one buffer, not mapped.  A mapping object and a
// view per file cost far more than a read for the small files that make up
// most applications, a view of a large file would swell the working set by
// the whole file, and a read meets a file that another process cuts short
// with a short count rather than an access violation.  One buffer serves,
// since only the launcher's own thread checks files.  The length is read in
// 64 bits, so a file of 4 GiB or more is checked whole like any other.
static const DWORD READ_PIECE = 256 * 1024;
static unsigned char ReadBuffer[READ_PIECE];

bool platform_open_reader(const wchar_t* path, platform_file_reader* reader) {
  HANDLE file = open_without_following(path, GENERIC_READ, FILE_FLAG_SEQUENTIAL_SCAN);
  if (file == INVALID_HANDLE_VALUE) return false;
  uint64_t length = 0;
  if (!plain_file_of_the_user(file, &length) || length == 0) {
    CloseHandle(file);
    return false;
  }
  reader->data = nullptr;
  reader->size = 0;
  reader->file = (platform_handle)file;
  reader->offset = 0;
  reader->length = length;
  return true;
}

bool platform_is_empty_file(const wchar_t* path) {
  HANDLE file = open_without_following(path, FILE_READ_ATTRIBUTES | READ_CONTROL, 0);
  if (file == INVALID_HANDLE_VALUE) return false;
  uint64_t length = 1;
  bool empty = plain_file_of_the_user(file, &length) && length == 0;
  CloseHandle(file);
  return empty;
}

// Reads up to the length seen at the open and no further, which spares the
// read that would only find the end.  A file that has shrunk meanwhile ends
// early and counts as a failure, so its checksum is 0 and it is written again.
bool platform_read_next(platform_file_reader* reader, bool* failed) {
  if (reader->offset >= reader->length) return false;
  uint64_t left = reader->length - reader->offset;
  DWORD wanted = left < READ_PIECE ? (DWORD)left : READ_PIECE;
  DWORD got = 0;
  if (!ReadFile(as_handle(reader->file), ReadBuffer, wanted, &got, nullptr) || got == 0) {
    *failed = true;
    return false;
  }
  reader->data = ReadBuffer;
  reader->size = got;
  reader->offset += got;
  return true;
}

void platform_close_reader(platform_file_reader* reader) {
  CloseHandle(as_handle(reader->file));
  reader->data = nullptr;
  reader->size = 0;
}

// The pages are never read again.  VirtualUnlock on pages that are not
// locked takes them out of the working set; MEM_RESET says their contents
// are no longer of interest, which Wine answers by dropping them (it reads an
// image whose sections are not page-aligned in the file into private memory
// at load, so there they would otherwise stay until the end).
void platform_release_pages(const void* start, size_t length) {
  const uintptr_t page = 4096;
  uintptr_t first = ((uintptr_t)start + page - 1) & ~(page - 1);
  uintptr_t end = ((uintptr_t)start + length) & ~(page - 1);
  if (end <= first) return;
  VirtualUnlock((void*)first, end - first);
  VirtualAlloc((void*)first, end - first, MEM_RESET, PAGE_NOACCESS);
}

#endif
