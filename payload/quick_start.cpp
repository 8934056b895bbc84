#include "payload/quick_start.h"

#include <stdint.h>

#include "paths/bounded.h"
#include "payload/format.h"
#include "payload/quick_start_list.h"
#include "payload/target_directory.h"
#include "platform/platform.h"

// The build's list, its identity, and the stamp's path; the list is null
// for a launcher built without it and for one whose list is malformed.
static const uint16_t* List;
static uint64_t Identity;
static const wchar_t* TargetDirectory;
static wchar_t StampPath[PATH_CAPACITY];
static bool StampForgotten;

// What the start's checks and writes saw, folded in list order: the files'
// own facts only, which the record's walk folds alike.  In doubt when a
// file's facts could not be had or its change time could hide a later change.
static uint64_t SeenDigest;
static bool SeenInDoubt;

// The path being looked at, the path looked at before it, and the main
// binary's.
static wchar_t FactsPath[PATH_CAPACITY];
static wchar_t PreviousPath[PATH_CAPACITY];
static wchar_t MainBinaryPath[PATH_CAPACITY];
static uint16_t NameUnits[PAYLOAD_NAME_UNITS];

// Hex digits up to end; false for none, more than 16, or anything else.
static bool parse_hex(const uint16_t** at, uint16_t end, uint64_t* value) {
  const uint16_t* next = *at;
  uint64_t result = 0;
  size_t digits = 0;
  for (; *next != end; ++next, ++digits) {
    uint16_t c = *next;
    unsigned digit;
    if (c >= u'0' && c <= u'9') {
      digit = (unsigned)(c - u'0');
    } else if (c >= u'a' && c <= u'f') {
      digit = (unsigned)(c - u'a' + 10);
    } else {
      return false;
    }
    if (digits == 16) return false;
    result = result << 4 | digit;
  }
  if (digits == 0) return false;
  *at = next + 1;
  *value = result;
  return true;
}

static uint64_t fold_facts(uint64_t digest, const platform_file_facts& facts, bool times) {
  digest = quick_start_mix(digest, (uint64_t)facts.kind);
  digest = quick_start_mix(digest, facts.identity);
  digest = quick_start_mix(digest, facts.volume);
  digest = quick_start_mix(digest, facts.access);
  digest = quick_start_mix(digest, facts.guard);
  if (!times) return digest;
  digest = quick_start_mix(digest, facts.size);
  digest = quick_start_mix(digest, facts.change_time);
  return quick_start_mix(digest, facts.write_time);
}

// What a check or a write sees of a file, from the open file: what any
// change of its contents moves.
static uint64_t fold_seen(uint64_t digest, const platform_file_facts& facts) {
  digest = quick_start_mix(digest, (uint64_t)facts.kind);
  digest = quick_start_mix(digest, facts.identity);
  digest = quick_start_mix(digest, facts.size);
  digest = quick_start_mix(digest, facts.change_time);
  return quick_start_mix(digest, facts.write_time);
}

// Folds the folder at FactsPath[0 .. end) into digest: its kind, identity,
// volume, owner, mode and guard (group, access list), not its times, which
// every file made in it moves.  A folder swapped for a link, or for another
// folder, or opened to another account, changes them.
static bool fold_folder(size_t base, size_t end, uint64_t* digest) {
  FactsPath[end] = 0;
  size_t name_start = end;
  while (FactsPath[name_start - 1] != PLATFORM_SEPARATOR) --name_start;
  platform_file_facts facts;
  bool folder = platform_read_facts(FactsPath, base, name_start, &facts) && facts.kind == PLATFORM_FACTS_FOLDER;
  FactsPath[end] = PLATFORM_SEPARATOR;
  if (folder) *digest = fold_facts(*digest, facts, false);
  return folder;
}

// Whether the folder FactsPath[0 .. end) is one the path looked at before
// lies in, and so was folded already.
static bool folded_before(size_t end, size_t previous_folder_end) {
  return end <= previous_folder_end && wcsncmp(FactsPath, PreviousPath, end) == 0 &&
         (PreviousPath[end] == PLATFORM_SEPARATOR || end == previous_folder_end);
}

// Walks the list and folds into *digest the facts of every file, in list
// order, and of every folder inside the target directory on the way to each.
// False at the first doubt: a malformed list, a file missing, not a plain
// file, or of another size than the payload's.  With seen, also folds the
// files that are not empty as a check saw them.
static bool walk_list(uint64_t* digest, uint64_t* count, uint64_t* seen) {
  platform_forget_facts();
  const uint16_t* at = List + QUICK_START_IDENTITY_DIGITS + 1;
  size_t base = wcslen(TargetDirectory) + 1;
  size_t previous_folder_end = 0;
  *digest = Identity;
  *count = 0;
  while (*at != 0) {
    uint64_t size, length;
    if (!parse_hex(&at, QUICK_START_FIELD_END, &size) || !parse_hex(&at, QUICK_START_FIELD_END, &length) ||
        length > PAYLOAD_NAME_UNITS) {
      return false;
    }
    for (size_t i = 0; i < length; ++i) {
      if (at[i] == 0) return false;
      NameUnits[i] = at[i];
    }
    at += length;
    wchar_t name[3 * PAYLOAD_NAME_UNITS + 1];
    size_t name_length = platform_wide_from_utf16(NameUnits, (size_t)length, name);
    if (base + name_length >= PATH_CAPACITY) return false;
    wmemcpy(FactsPath + base, name, name_length + 1);
    size_t name_start = base;
    for (size_t i = base; i < base + name_length; ++i) {
      if (FactsPath[i] != L'\\') continue;
      FactsPath[i] = PLATFORM_SEPARATOR;
      if (!folded_before(i, previous_folder_end) && !fold_folder(base, i, digest)) return false;
      name_start = i + 1;
    }
    platform_file_facts facts;
    if (!platform_read_facts(FactsPath, base, name_start, &facts) || facts.kind != PLATFORM_FACTS_FILE ||
        facts.size != size) {
      return false;
    }
    *digest = fold_facts(*digest, facts, true);
    if (seen != nullptr && size != 0) *seen = fold_seen(*seen, facts);
    if (*count == 0) wmemcpy(MainBinaryPath, FactsPath, base + name_length + 1);
    ++*count;
    wmemcpy(PreviousPath, FactsPath, base + name_length + 1);
    previous_folder_end = name_start - 1;
  }
  return *count != 0;
}

const wchar_t* quick_start_check(const wchar_t* target_directory, const uint16_t* list) {
  List = nullptr;
  if (list == nullptr) return nullptr;
  const uint16_t* at = list;
  size_t length = wcslen(target_directory);
  static const wchar_t suffix[] = QUICK_START_STAMP_SUFFIX;
  if (!parse_hex(&at, QUICK_START_FIELD_END, &Identity) || at != list + QUICK_START_IDENTITY_DIGITS + 1 ||
      length == 0 || target_directory[length - 1] == PLATFORM_SEPARATOR ||
      length + sizeof suffix / sizeof suffix[0] > PATH_CAPACITY) {
    return nullptr;
  }
  List = list;
  TargetDirectory = target_directory;
  wmemcpy(FactsPath, target_directory, length);
  FactsPath[length] = PLATFORM_SEPARATOR;
  wmemcpy(StampPath, target_directory, length);
  wmemcpy(StampPath + length, suffix, sizeof suffix / sizeof suffix[0]);
  StampForgotten = false;
  SeenDigest = Identity;
  SeenInDoubt = false;

  unsigned char stamp[QUICK_START_STAMP_SIZE];
  if (!platform_read_stamp(StampPath, stamp, sizeof stamp)) return nullptr;
  for (size_t i = 0; i < sizeof QUICK_START_STAMP_MAGIC; ++i) {
    if (stamp[i] != QUICK_START_STAMP_MAGIC[i]) return nullptr;
  }
  if (read_little_endian(stamp + 8, 8) != Identity) return nullptr;
  secure_target_directory(target_directory);
  uint64_t digest, count;
  if (!walk_list(&digest, &count, nullptr) || read_little_endian(stamp + 16, 8) != digest ||
      read_little_endian(stamp + 24, 8) != count) {
    return nullptr;
  }
  return MainBinaryPath;
}

bool quick_start_takes_facts(void) {
  return List != nullptr;
}

void quick_start_note_file(const platform_file_facts* facts, uint64_t clock) {
  if (List == nullptr || SeenInDoubt) return;
  if (facts == nullptr || facts->kind != PLATFORM_FACTS_FILE ||
      !platform_change_time_settled(facts->change_time, clock)) {
    SeenInDoubt = true;
    return;
  }
  SeenDigest = fold_seen(SeenDigest, *facts);
}

void quick_start_forget(void) {
  if (List == nullptr || StampForgotten) return;
  StampForgotten = true;
  platform_remove_stamp(StampPath);
}

void quick_start_record(void) {
  if (List == nullptr || SeenInDoubt) return;
  platform_handle lock = platform_lock_directory(TargetDirectory, 0);
  if (lock == 0) return;
  uint64_t digest, count, seen = Identity;
  // Only what the checks saw is stamped: a file changed since, at the same
  // size, would otherwise be vouched for by every later start.
  if (walk_list(&digest, &count, &seen) && seen == SeenDigest) {
    unsigned char stamp[QUICK_START_STAMP_SIZE];
    for (size_t i = 0; i < sizeof QUICK_START_STAMP_MAGIC; ++i) stamp[i] = QUICK_START_STAMP_MAGIC[i];
    write_little_endian(stamp + 8, Identity, 8);
    write_little_endian(stamp + 16, digest, 8);
    write_little_endian(stamp + 24, count, 8);
    platform_write_stamp(StampPath, stamp, sizeof stamp);
  }
  platform_unlock_directory(lock);
}
