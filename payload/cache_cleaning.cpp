#include "payload/cache_cleaning.h"

#include <string.h>

#include "paths/bounded.h"
#include "payload/format.h"
#include "payload/quick_start_list.h"
#include "platform/platform.h"

// The record: a magic, the product's identity, the build's, and whether the
// folder is one start's own.
static const unsigned char RECORD_MAGIC[8] = {'Z', 'o', 'v', 'B', 'u', 'i', 'l', 'd'};
static const size_t RECORD_BYTES = 32;
static const uint64_t RECORD_PER_START = 1;

static bool Enabled;
static uint64_t ProductIdentity;
static uint64_t BuildIdentity;
static bool PerStart;
static platform_handle HeldRecord;

// The held folder's parent, with its separator, and the folder's own name.
static wchar_t Parent[PATH_CAPACITY];
static size_t ParentLength;
static const wchar_t* OwnName;
static wchar_t OwnFolder[PATH_CAPACITY];
static wchar_t OwnRecordPath[PATH_CAPACITY];

// The held folder's parent, held by the cleaning thread while it removes
// its siblings from it, and each removal's bound: a stop ends it sooner.
static platform_handle ParentFolder;
static const uint32_t SIBLING_REMOVAL_MILLISECONDS = 60000;

// The cleaning thread's paths.
static wchar_t RecordPath[PATH_CAPACITY];
static wchar_t FolderPath[PATH_CAPACITY];
static wchar_t AsidePath[PATH_CAPACITY];
static wchar_t AsideRecordPath[PATH_CAPACITY];

static uint64_t mix_text(uint64_t digest, const wchar_t* text) {
  for (; *text != 0; ++text) digest = quick_start_mix(digest, (uint64_t)(uint32_t)*text);
  // The end of each text counts, so "ab" + "c" and "a" + "bc" differ.
  return quick_start_mix(digest, 0xFFFFFFFFFFull);
}

void prepare_cache_cleaning(const wchar_t* company, const wchar_t* product, const wchar_t* path_template,
                            const wchar_t* version, const unsigned char* payload, uint64_t payload_length,
                            bool per_start) {
  Enabled = true;
  PerStart = per_start;
  ProductIdentity = mix_text(mix_text(mix_text(1, company), product), path_template);
  // The payload's end holds its frame's seal, the CRC-32 of all it packs:
  // with its length it tells builds of one version apart without reading
  // the whole payload at every start.
  uint64_t build = quick_start_mix(mix_text(2, version), payload_length);
  uint64_t tail = payload_length < 64 ? payload_length : 64;
  for (uint64_t i = payload_length - tail; i < payload_length; ++i) build = quick_start_mix(build, payload[i]);
  BuildIdentity = build;
}

static void fill_record(unsigned char* record) {
  for (size_t i = 0; i < sizeof RECORD_MAGIC; ++i) record[i] = RECORD_MAGIC[i];
  write_little_endian(record + 8, ProductIdentity, 8);
  write_little_endian(record + 16, BuildIdentity, 8);
  write_little_endian(record + 24, PerStart ? RECORD_PER_START : 0, 8);
}

// Joins folder and suffix into out; false when it does not fit.
static bool join(wchar_t* out, const wchar_t* folder, const wchar_t* suffix) {
  size_t length = wcslen(folder), extra = wcslen(suffix);
  if (length + extra >= PATH_CAPACITY) return false;
  wmemcpy(out, folder, length);
  wmemcpy(out + length, suffix, extra + 1);
  return true;
}

bool hold_cache_folder(const wchar_t* target_directory, bool made) {
  // A folder of one start that this start found there is not its own (it
  // is never removed): no record may mark it as one for a later cleaning.
  if (!Enabled || HeldRecord != 0 || (PerStart && !made)) return false;
  size_t length = wcslen(target_directory);
  size_t parent_length = length;
  while (parent_length > 0 && target_directory[parent_length - 1] != PLATFORM_SEPARATOR) --parent_length;
  static wchar_t path[PATH_CAPACITY];
  // A folder at the root of a drive has no siblings to clean among.
  if (parent_length == 0 || parent_length == length || !join(path, target_directory, CACHE_RECORD_SUFFIX)) {
    return false;
  }
  HeldRecord = platform_hold_record(path);
  if (HeldRecord == 0) return false;
  wmemcpy(OwnRecordPath, path, wcslen(path) + 1);
  wmemcpy(Parent, target_directory, parent_length);
  Parent[parent_length] = 0;
  ParentLength = parent_length;
  wmemcpy(OwnFolder, target_directory, length + 1);
  OwnName = OwnFolder + parent_length;
  unsigned char wanted[RECORD_BYTES], found[RECORD_BYTES];
  fill_record(wanted);
  if (!platform_read_record(HeldRecord, found, RECORD_BYTES) || memcmp(found, wanted, RECORD_BYTES) != 0) {
    platform_write_record(HeldRecord, wanted, RECORD_BYTES);
  }
  return true;
}

// Whether a claimed record (read into found) names a folder this start may remove: one of the
// same product, and of another build or of one start that has ended.
static bool removable(platform_handle record, unsigned char* found) {
  if (!platform_read_record(record, found, RECORD_BYTES)) return false;
  for (size_t i = 0; i < sizeof RECORD_MAGIC; ++i) {
    if (found[i] != RECORD_MAGIC[i]) return false;
  }
  if (read_little_endian(found + 8, 8) != ProductIdentity) return false;
  return read_little_endian(found + 16, 8) != BuildIdentity ||
         (read_little_endian(found + 24, 8) & RECORD_PER_START) != 0;
}

// Removes the folder at path, a sibling of the held folder, from the held
// parent, never through a link.  What cannot be removed stays.
static void remove_sibling(const wchar_t* path) {
  platform_remove_tree_at(ParentFolder, path + ParentLength, SIBLING_REMOVAL_MILLISECONDS);
}

// Whether text ends with suffix; *stem then holds the length before it.
static bool ends_with(const wchar_t* text, const wchar_t* suffix, size_t* stem) {
  size_t length = wcslen(text), extra = wcslen(suffix);
  if (length <= extra || wcscmp(text + length - extra, suffix) != 0) return false;
  *stem = length - extra;
  return true;
}

// Writes a copy of the claimed record's bytes at path, for this user alone.
static bool copy_record(const unsigned char* bytes, const wchar_t* path) {
  platform_handle copy = platform_hold_record(path);
  if (copy == 0) return false;
  bool written = platform_write_record(copy, bytes, RECORD_BYTES);
  platform_release_record(copy);
  return written;
}

// Removes the folder whose record is claimed.  A copy of the record is laid
// beside the aside name first, then the folder is set aside, and only then
// is the claimed record removed, which lets a start of that build in to
// make a new folder: a launcher ended at any step leaves a folder with its
// record, which a later start removes, and never a folder without one.  A
// folder already aside is removed where it is.
static void remove_claimed(platform_handle record, const unsigned char* bytes) {
  size_t ignored;
  if (ends_with(FolderPath, CACHE_ASIDE_SUFFIX, &ignored)) {
    remove_sibling(FolderPath);
    platform_remove_record(record, RecordPath);
    return;
  }
  if (!join(AsidePath, FolderPath, CACHE_ASIDE_SUFFIX) || !join(AsideRecordPath, AsidePath, CACHE_RECORD_SUFFIX)) {
    platform_release_record(record);
    return;
  }
  // A removal cut short left a folder aside with its record: it goes first,
  // as a sibling of its own, and this one waits for a later start.
  platform_handle earlier = platform_claim_record(AsideRecordPath);
  if (earlier != 0) platform_release_record(earlier);
  if (earlier != 0 || !copy_record(bytes, AsideRecordPath)) {
    platform_release_record(record);
    return;
  }
  platform_aside_result moved = platform_set_folder_aside(FolderPath, AsidePath);
  if (moved == PLATFORM_ASIDE_REFUSED) {
    platform_release_record(record);
  } else {
    // A record whose folder is gone (one start's, removed by that start)
    // goes too.
    platform_remove_record(record, RecordPath);
  }
  platform_handle aside = platform_claim_record(AsideRecordPath);
  if (aside == 0) return;
  if (moved == PLATFORM_ASIDE_DONE) remove_sibling(AsidePath);
  platform_remove_record(aside, AsideRecordPath);
}

static bool visit_sibling(const wchar_t* name, void* context) {
  bool (*go_on)(void) = (bool (*)(void))context;
  if (!go_on()) return false;
  size_t stem;
  if (!ends_with(name, CACHE_RECORD_SUFFIX, &stem)) return true;
  // The held folder is this start's; its record is held, and never claimed.
  if (wcsncmp(name, OwnName, stem) == 0 && OwnName[stem] == 0) return true;
  if (ParentLength + wcslen(name) >= PATH_CAPACITY) return true;
  wmemcpy(RecordPath, Parent, ParentLength);
  wmemcpy(RecordPath + ParentLength, name, wcslen(name) + 1);
  wmemcpy(FolderPath, RecordPath, ParentLength + stem);
  FolderPath[ParentLength + stem] = 0;
  platform_handle record = platform_claim_record(RecordPath);
  if (record == 0) return true;
  unsigned char found[RECORD_BYTES];
  if (!removable(record, found)) {
    platform_release_record(record);
    return true;
  }
  remove_claimed(record, found);
  return true;
}

void clean_other_builds(bool (*go_on)(void)) {
  if (HeldRecord == 0) return;
  // The parent as a folder's path: without its separator, but for a root.
  static wchar_t parent[PATH_CAPACITY];
  wmemcpy(parent, Parent, ParentLength + 1);
  if (ParentLength > 1 && parent[ParentLength - 2] != L':') parent[ParentLength - 1] = 0;
  ParentFolder = platform_hold_folder(parent);
  if (ParentFolder == 0) return;
  platform_list_folder(Parent, visit_sibling, (void*)go_on);
  platform_release_folder(ParentFolder);
  ParentFolder = 0;
}

void drop_own_record(void) {
  if (HeldRecord == 0) return;
  platform_release_record(HeldRecord);
  HeldRecord = 0;
  platform_handle record = platform_claim_record(OwnRecordPath);
  if (record != 0) platform_remove_record(record, OwnRecordPath);
}
