// The quick start's facts: each folder listed once, with each file's
// ChangeTime and index, and the stamp beside the folder.
#include "platform/platform.h"
#include "platform/win32_for_tests.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>

#include "platform/win32/shared.h"

// The listings of the folders on the way to the last path asked for, the
// deepest last; their paths are the prefixes of ListedFolder.  A walk in
// name order finishes with a folder before it leaves it, since every name
// under one folder sorts together, so each folder is listed once.  Entries
// and their lookup tables lie in one arena, given back as listings are left.
struct folder_listing {
  size_t folder_length;
  size_t arena_start;
  size_t table_start;  // slots of 32 bits: an entry's offset from arena_start, plus 1
  size_t table_mask;
  uint64_t volume;
  uint64_t security;  // a digest of the folder's owner and access list
};

struct listed_entry {
  uint64_t size, change_time, write_time, identity;
  uint32_t attributes;
  uint32_t name_length;  // units; the name follows
};

static const size_t LISTING_DEPTH = 256;
static folder_listing Listings[LISTING_DEPTH];
static size_t ListingCount;
static wchar_t ListedFolder[WALK_CAPACITY];
// Large enough for folders of a hundred thousand entries; a folder beyond it
// is a doubt, and the start checks every file instead.  Pages never reached
// cost nothing.
static const size_t LISTING_ARENA_SIZE = 32u << 20;
alignas(8) static unsigned char ListingArena[LISTING_ARENA_SIZE];
static size_t ArenaUsed;
alignas(8) static unsigned char DirectoryBuffer[64 * 1024];
static uint64_t WalkVolume;
static bool WalkVolumeKnown;

static uint32_t name_hash(const wchar_t* name, size_t length) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < length; ++i) hash = (hash ^ (uint32_t)name[i]) * 16777619u;
  return hash;
}

static listed_entry* entry_at(const folder_listing& level, uint32_t slot) {
  return (listed_entry*)(ListingArena + level.arena_start + slot - 1);
}

static bool take_arena(size_t bytes, size_t* at) {
  bytes = (bytes + 7) & ~(size_t)7;
  if (LISTING_ARENA_SIZE - ArenaUsed < bytes) return false;
  *at = ArenaUsed;
  ArenaUsed += bytes;
  return true;
}

// Appends the entries of one answer to the arena; false when it is full.
static bool keep_entries(size_t* count) {
  const unsigned char* next = DirectoryBuffer;
  for (;;) {
    const FILE_ID_BOTH_DIR_INFO* info = (const FILE_ID_BOTH_DIR_INFO*)next;
    size_t length = info->FileNameLength / sizeof(wchar_t);
    bool dots = (length == 1 && info->FileName[0] == L'.') ||
                (length == 2 && info->FileName[0] == L'.' && info->FileName[1] == L'.');
    size_t at;
    if (!dots) {
      if (!take_arena(sizeof(listed_entry) + length * sizeof(wchar_t), &at)) return false;
      listed_entry* entry = (listed_entry*)(ListingArena + at);
      entry->size = (uint64_t)info->EndOfFile.QuadPart;
      entry->change_time = (uint64_t)info->ChangeTime.QuadPart;
      entry->write_time = (uint64_t)info->LastWriteTime.QuadPart;
      entry->identity = (uint64_t)info->FileId.QuadPart;
      entry->attributes = info->FileAttributes;
      entry->name_length = (uint32_t)length;
      memcpy(entry + 1, info->FileName, length * sizeof(wchar_t));
      ++*count;
    }
    if (info->NextEntryOffset == 0) return true;
    next += info->NextEntryOffset;
  }
}

// The folder's owner and access list, as the full start judges them, folded
// into a digest: a folder opened to another account, or handed to one,
// changes it, though its times and attributes stay.  A descriptor larger
// than the buffer is a doubt.
alignas(8) static unsigned char SecurityBuffer[16 * 1024];

static bool security_digest(HANDLE folder, uint64_t* digest) {
  DWORD needed = 0;
  if (!GetKernelObjectSecurity(folder, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                           DACL_SECURITY_INFORMATION,
                               (PSECURITY_DESCRIPTOR)SecurityBuffer, sizeof SecurityBuffer, &needed)) {
    return false;
  }
  DWORD length = GetSecurityDescriptorLength((PSECURITY_DESCRIPTOR)SecurityBuffer);
  uint64_t hash = 14695981039346656037ull;
  for (DWORD i = 0; i < length && i < sizeof SecurityBuffer; ++i) {
    hash = (hash ^ SecurityBuffer[i]) * 1099511628211ull;
  }
  *digest = hash ^ (uint64_t)length << 40;
  return true;
}

// Lists the folder ListedFolder names (length units) on one handle to it,
// opened without following a link, and pushes its listing.
static bool list_folder(size_t length) {
  if (ListingCount == LISTING_DEPTH) return false;
  HANDLE folder = CreateFileW(ListedFolder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  if (folder == INVALID_HANDLE_VALUE) return false;
  folder_listing* level = &Listings[ListingCount];
  level->folder_length = length;
  level->arena_start = ArenaUsed;
  // The volume is read once, at the first folder of a walk: a folder below
  // it on another volume is a mount point, which its parent's listing shows
  // as a reparse point, and Wine answers each volume query through its
  // mount manager, a round trip of its own per folder.
  bool listed = true;
  if (!WalkVolumeKnown) {
    BY_HANDLE_FILE_INFORMATION information;
    listed = GetFileInformationByHandle(folder, &information) != 0;
    WalkVolume = information.dwVolumeSerialNumber;
    WalkVolumeKnown = listed;
  }
  level->volume = WalkVolume;
  listed = listed && security_digest(folder, &level->security);
  size_t count = 0;
  while (listed) {
    if (!GetFileInformationByHandleEx(folder, FileIdBothDirectoryInfo, DirectoryBuffer,
                                      sizeof DirectoryBuffer)) {
      listed = GetLastError() == ERROR_NO_MORE_FILES;
      break;
    }
    listed = keep_entries(&count);
  }
  CloseHandle(folder);
  size_t slots = 8;
  while (slots < 2 * count) slots *= 2;
  if (!listed || !take_arena(slots * sizeof(uint32_t), &level->table_start)) {
    ArenaUsed = level->arena_start;
    return false;
  }
  uint32_t* table = (uint32_t*)(ListingArena + level->table_start);
  memset(table, 0, slots * sizeof(uint32_t));
  level->table_mask = slots - 1;
  for (size_t at = level->arena_start; at < level->table_start;) {
    const listed_entry* entry = (const listed_entry*)(ListingArena + at);
    size_t slot = name_hash((const wchar_t*)(entry + 1), entry->name_length) & level->table_mask;
    while (table[slot] != 0) slot = (slot + 1) & level->table_mask;
    table[slot] = (uint32_t)(at - level->arena_start + 1);
    at += (sizeof(listed_entry) + entry->name_length * sizeof(wchar_t) + 7) & ~(size_t)7;
  }
  ++ListingCount;
  return true;
}

// Names are matched as written: the launcher writes the payload's own
// spelling, and a name whose case was changed since is a doubt.
bool platform_read_facts(const wchar_t* path, size_t, size_t name_start, platform_file_facts* facts) {
  if (name_start == 0) return false;
  size_t folder_length = name_start - 1;
  while (ListingCount > 0) {
    const folder_listing& top = Listings[ListingCount - 1];
    size_t length = top.folder_length;
    if (length <= folder_length && wcsncmp(path, ListedFolder, length) == 0 &&
        (length == folder_length || path[length] == L'\\')) {
      break;
    }
    ArenaUsed = top.arena_start;
    --ListingCount;
  }
  if (ListingCount == 0 || Listings[ListingCount - 1].folder_length != folder_length) {
    if (folder_length >= WALK_CAPACITY) return false;
    wmemcpy(ListedFolder, path, folder_length);
    ListedFolder[folder_length] = 0;
    if (!list_folder(folder_length)) return false;
  }
  const folder_listing& level = Listings[ListingCount - 1];
  const wchar_t* name = path + name_start;
  size_t length = wcslen(name);
  const uint32_t* table = (const uint32_t*)(ListingArena + level.table_start);
  for (size_t slot = name_hash(name, length) & level.table_mask; table[slot] != 0;
       slot = (slot + 1) & level.table_mask) {
    const listed_entry* entry = entry_at(level, table[slot]);
    if (entry->name_length != length || wmemcmp((const wchar_t*)(entry + 1), name, length) != 0) continue;
    facts->kind = (entry->attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? PLATFORM_FACTS_OTHER
                  : (entry->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0  ? PLATFORM_FACTS_FOLDER
                                                                         : PLATFORM_FACTS_FILE;
    facts->size = entry->size;
    facts->change_time = entry->change_time;
    facts->write_time = entry->write_time;
    facts->identity = entry->identity;
    facts->volume = level.volume;
    facts->access = entry->attributes;
    facts->guard = level.security;
    return true;
  }
  return false;
}

bool platform_handle_facts(platform_handle file, platform_file_facts* facts) {
  BY_HANDLE_FILE_INFORMATION information;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandle((HANDLE)file, &information) ||
      !GetFileInformationByHandleEx((HANDLE)file, FileBasicInfo, &basic, sizeof basic)) {
    return false;
  }
  facts->kind = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? PLATFORM_FACTS_OTHER
                : (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0  ? PLATFORM_FACTS_FOLDER
                                                                                  : PLATFORM_FACTS_FILE;
  facts->size = (uint64_t)information.nFileSizeHigh << 32 | information.nFileSizeLow;
  facts->change_time = (uint64_t)basic.ChangeTime.QuadPart;
  facts->write_time = (uint64_t)basic.LastWriteTime.QuadPart;
  facts->identity = (uint64_t)information.nFileIndexHigh << 32 | information.nFileIndexLow;
  facts->volume = information.dwVolumeSerialNumber;
  facts->access = information.dwFileAttributes;
  facts->guard = 0;
  return true;
}

// The system time as the last clock tick set it, which file times take.
uint64_t platform_facts_clock(void) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (uint64_t)now.dwHighDateTime << 32 | now.dwLowDateTime;
}

// NTFS takes a change time from the system time, which moves once per clock
// tick (15.6 ms unless a program asks for finer ones), taken as 16 ms at
// least; FAT and exFAT keep whole seconds or hundredths.
bool platform_change_time_settled(uint64_t change_time, uint64_t clock) {
  static uint64_t tick;
  if (tick == 0) {
    DWORD adjustment = 0, increment = 0;
    BOOL disabled = TRUE;
    tick = GetSystemTimeAdjustment(&adjustment, &increment, &disabled) ? increment : 0;
    if (tick < 160000u) tick = 160000u;
  }
  uint64_t grain = change_time % 10000000u == 0 ? 20000000u
                   : change_time % 100000u == 0 ? 200000u
                                                 : tick;
  return change_time <= clock && clock - change_time >= grain;
}

void platform_forget_facts(void) {
  ListingCount = 0;
  ArenaUsed = 0;
  WalkVolumeKnown = false;
}

bool platform_read_stamp(const wchar_t* path, unsigned char* data, size_t size) {
  HANDLE file = CreateFileW(path, GENERIC_READ | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  DWORD read = 0;
  bool whole = GetFileInformationByHandle(file, &information) &&
               (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
               information.nNumberOfLinks == 1 && information.nFileSizeHigh == 0 &&
               information.nFileSizeLow == size && owner_trust(file) == PLATFORM_TRUSTED &&
               ReadFile(file, data, (DWORD)size, &read, nullptr) && read == size;
  CloseHandle(file);
  return whole;
}

static wchar_t FreshStamp[WALK_CAPACITY];

bool platform_write_stamp(const wchar_t* path, const unsigned char* data, size_t size) {
  static const wchar_t NEW_SUFFIX[] = L".new";
  size_t length = wcslen(path);
  SECURITY_ATTRIBUTES* attributes = private_folder_attributes();
  if (attributes == nullptr || length + sizeof NEW_SUFFIX / sizeof(wchar_t) > WALK_CAPACITY) return false;
  wmemcpy(FreshStamp, path, length);
  wmemcpy(FreshStamp + length, NEW_SUFFIX, sizeof NEW_SUFFIX / sizeof(wchar_t));
  DeleteFileW(FreshStamp);
  HANDLE file = CreateFileW(FreshStamp, GENERIC_WRITE, 0, attributes, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool whole = WriteFile(file, data, (DWORD)size, &written, nullptr) && written == size;
  CloseHandle(file);
  if (whole && MoveFileExW(FreshStamp, path, MOVEFILE_REPLACE_EXISTING)) return true;
  DeleteFileW(FreshStamp);
  return false;
}

void platform_remove_stamp(const wchar_t* path) {
  DeleteFileW(path);
}

#endif
