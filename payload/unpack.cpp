#include "payload/unpack.h"
#include "payload/unpack_for_tests.h"

#include <stdint.h>
#include <stdlib.h>

#include "paths/bounded.h"
#include "paths/fatal.h"
#include "payload/cache_cleaning.h"
#include "payload/checksum.h"
#include "payload/directories.h"
#include "payload/format.h"
#include "payload/programs.h"
#include "payload/quick_start.h"
#include "payload/reader.h"
#include "payload/target_directory.h"
#include "payload/written_names.h"
#include "platform/platform.h"

static uint16_t NameBuffer[PAYLOAD_NAME_UNITS + 1];
static wchar_t TargetPath[PATH_CAPACITY];
// Where the record's name begins in TargetPath, behind the target directory.
static size_t NameStart;
static wchar_t MainBinaryPath[PATH_CAPACITY];
static unsigned char CopyBuffer[PAYLOAD_PIECE_SIZE];

const wchar_t* unpack_main_binary_path(void) {
  return MainBinaryPath;
}

// A record's fields behind its name, little-endian.
static uint64_t read_size(void) {
  unsigned char bytes[RECORD_SIZE_BYTES];
  payload_read(bytes, sizeof bytes);
  return read_little_endian(bytes, sizeof bytes);
}

static uint32_t read_checksum(void) {
  unsigned char bytes[RECORD_CHECKSUM_BYTES];
  payload_read(bytes, sizeof bytes);
  return (uint32_t)read_little_endian(bytes, sizeof bytes);
}

// Reads one name into NameBuffer; returns its length in units (0: end record).
// A name that does not fit the buffer is a violated bound, found at the unit
// that leaves no room for the terminating one, before anything more is read.
static size_t read_name(void) {
  size_t length = 0;
  for (;;) {
    unsigned char unit[2];
    payload_read(unit, 2);
    uint16_t value = (uint16_t)(unit[0] | unit[1] << 8);
    if (value == 0) {
      NameBuffer[length] = 0;
      return length;
    }
    if (length + 1 >= PAYLOAD_NAME_UNITS + 1) platform_abort();
    NameBuffer[length++] = value;
  }
}

// Appends the name to TargetPath as this system's text, each "\" turned into
// its separator.
static void append_name(size_t length) {
  wchar_t converted[3 * PAYLOAD_NAME_UNITS + 1];
  size_t converted_length = platform_wide_from_utf16(NameBuffer, length, converted);
  for (size_t i = 0; i < converted_length; ++i) {
    if (converted[i] == L'\\') converted[i] = PLATFORM_SEPARATOR;
  }
  append_wide_bounded(TargetPath, converted, PATH_CAPACITY);
}

// A folder that this launcher made while it held the target directory's
// lock: no other launcher writes while it holds the lock, so such a folder
// holds only what this start wrote there, and a file under it that the record
// of written names rules out is not there.  A cold start thus opens no file
// just to find it missing, which costs as much as writing it on some systems.
// It is the last such folder, kept while the next ones lie inside it; files
// come sorted by name, so those under one folder come together.
static wchar_t CreatedFolder[PATH_CAPACITY];
static size_t CreatedFolderLength;

static bool inside_created_folder(const wchar_t* path) {
  return CreatedFolderLength != 0 && wcsncmp(path, CreatedFolder, CreatedFolderLength) == 0 &&
         path[CreatedFolderLength] == PLATFORM_SEPARATOR;
}

static void remember_created_folder(size_t length) {
  if (length == 0 || inside_created_folder(TargetPath)) return;
  wmemcpy(CreatedFolder, TargetPath, length);
  CreatedFolder[length] = 0;
  CreatedFolderLength = length;
}

// Opens and holds the folders from the target directory down to TargetPath's
// own, so that no file is checked, written or started through a link or
// through a folder that another account controls; one that is ends the start
// with its name.  False when a folder on the way is missing (or no folder):
// nothing in it is current, and it cannot be written.
static bool enter_folder_of_target_path(void) {
  static wchar_t culprit[PATH_CAPACITY];
  size_t folder = wcslen(TargetPath);
  while (folder >= NameStart && TargetPath[folder] != PLATFORM_SEPARATOR) --folder;
  platform_trust trust =
      platform_enter_folder(TargetPath, NameStart - 1, folder, culprit, PATH_CAPACITY);
  if (trust != PLATFORM_TRUSTED && trust != PLATFORM_NOT_MADE) fail_unsafe_directory(culprit, trust);
  return trust == PLATFORM_TRUSTED;
}

// A quick start's stamp holds what the checks saw: each file's facts are
// taken from the open file as it is checked (or written) and handed on.
static bool target_path_is_current(uint64_t size, uint32_t stored) {
  if (!enter_folder_of_target_path()) return false;
  if (size == 0 || !quick_start_takes_facts()) return file_is_current(TargetPath, size, stored);
  checked_facts seen;
  bool current = file_is_current(TargetPath, size, stored, &seen);
  if (current) quick_start_note_file(seen.known ? &seen.facts : nullptr, seen.clock);
  return current;
}

// Writes the record's data to TargetPath.  The first piece is read before the
// file is opened, so that its mode can be right from the moment it exists.
// The frame carries no checksum of its contents, so most damage in it still
// decodes: what is written is checked against the record's checksum, and a
// file that differs ends the start before any program of it is started.  Such
// a file's checksum is not the stored one, so the next start writes it again.
static void write_record(uint64_t size, uint32_t stored, bool is_main_binary, bool locked) {
  size_t created = ensure_parent_directories(TargetPath);
  if (locked) remember_created_folder(created);
  if (!enter_folder_of_target_path()) fail_open_for_writing(TargetPath);
  record_written_name(TargetPath + NameStart);
  size_t piece = size < PAYLOAD_PIECE_SIZE ? (size_t)size : PAYLOAD_PIECE_SIZE;
  if (piece > 0) payload_read(CopyBuffer, piece);
  bool executable = is_main_binary || starts_like_linux_program(CopyBuffer, piece);
  // Nothing in a file that stays empty can be read half written.  An empty
  // record's file may be written while children of other launchers run;
  // letting them read it meanwhile keeps their opens from failing on a file
  // that holds nothing anyway.
  bool let_readers_in = size == 0;
  platform_handle file = platform_create_file(TargetPath, executable, let_readers_in);
  if (file == 0) {
    fail_open_for_writing(TargetPath);
  }
  uint64_t remaining = size;
  uint32_t crc = 0;
  while (piece > 0) {
    crc = crc32_continue(crc, CopyBuffer, piece);
    if (!platform_write_file(file, CopyBuffer, (uint32_t)piece)) {
      fail_unpack_write(platform_last_error());
    }
    remaining -= piece;
    piece = remaining < PAYLOAD_PIECE_SIZE ? (size_t)remaining : PAYLOAD_PIECE_SIZE;
    if (piece > 0) payload_read(CopyBuffer, piece);
  }
  if (size != 0 && quick_start_takes_facts()) {
    uint64_t clock = platform_facts_clock();
    platform_file_facts facts;
    quick_start_note_file(platform_handle_facts(file, &facts) ? &facts : nullptr, clock);
  }
  platform_close_file(file);
  if (stored_checksum(crc) != stored) payload_fail_decode();
}

// How long a launcher waits for another one that is writing.  A cold start of
// a large application on a slow disk takes a few seconds, so this leaves it
// ample time; a launcher stopped mid-unpack (Ctrl+Z) or one that hangs must
// not hold every later start for longer.  After it the start goes on without
// the lock, as it would if none existed.
static const uint32_t LOCK_WAIT_MILLISECONDS = 20000;

// Whether the file at TargetPath must be written.  The first time a file must
// be, the launcher makes its folders, takes the target directory's lock and
// looks again: the file may be one that another launcher of the same build
// was writing at that moment.  Holding the lock until the end record, a
// launcher never rewrites a file under a child that another launcher has
// started.
static bool must_write_taking_lock(const wchar_t* target_directory, uint64_t size, uint32_t stored,
                                   platform_handle* lock, bool* made) {
  // A file proven absent must be written.
  if (*lock != 0 && inside_created_folder(TargetPath) && never_written(TargetPath + NameStart)) {
    return true;
  }
  if (target_path_is_current(size, stored)) return false;
  if (*made) return true;
  *made = true;
  ensure_parent_directories(TargetPath);
  *lock = platform_lock_directory(target_directory, LOCK_WAIT_MILLISECONDS);
  quick_start_forget();
  return *lock == 0 || !target_path_is_current(size, stored);
}

void unpack_files(const wchar_t* target_directory) {
  wchar_t separator[2] = {PLATFORM_SEPARATOR, 0};
  platform_handle lock = 0;
  bool made = false;
  for (;;) {
    size_t name_length = read_name();
    if (name_length == 0) {
      if (lock != 0) platform_unlock_directory(lock);
      // The child is started by its path: the main binary's folders are
      // looked at once more and held, so that what the unpacking let go of
      // meanwhile is not started through a link.
      if (MainBinaryPath[0] != 0) {
        TargetPath[0] = 0;
        append_wide_bounded(TargetPath, MainBinaryPath, PATH_CAPACITY);
        enter_folder_of_target_path();
      }
      return;
    }
    TargetPath[0] = 0;
    append_wide_bounded(TargetPath, target_directory, PATH_CAPACITY);
    append_wide_bounded(TargetPath, separator, PATH_CAPACITY);
    NameStart = wcslen(TargetPath);
    append_name(name_length);
    bool is_main_binary = MainBinaryPath[0] == 0;
    if (is_main_binary) {
      // A payload without files leaves the disk untouched.
      secure_target_directory_for(target_directory, TargetPath);
      set_directory_floor(target_directory);
      append_wide_bounded(MainBinaryPath, TargetPath, PATH_CAPACITY);
    }
    uint64_t size = read_size();
    uint32_t stored = read_checksum();
    // No record stores 0, and an empty one stores 1: a file that is missing,
    // or empty, would otherwise count as unpacked.
    if (stored == 0 || (size == 0 && stored != stored_checksum(0))) payload_fail_decode();
    if (must_write_taking_lock(target_directory, size, stored, &lock, &made)) {
      write_record(size, stored, is_main_binary, lock != 0);
    } else {
      payload_skip(size);
    }
  }
}

void forget_unpack_state(void) {
  MainBinaryPath[0] = 0;
  forget_target_directory();
  CreatedFolderLength = 0;
  forget_written_names();
}
