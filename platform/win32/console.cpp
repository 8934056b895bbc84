// The platform seam on Windows: the wide Win32 calls only.
//
// Sections:
//   errors     GetLastError, FormatMessageA
//   security   the user's identity, private folders, whose a folder is
//   files      CreateFileW/WriteFile, contents read through one buffer
//   paths      directories, full paths, the folders behind the template tokens
//   lock       a mutex named after the target directory's identity
//   inside     the folders below the target directory, held open

//   quick start  folder listings without opening a file, the stamp beside the folder
//   environment, identity and time
//   arguments  the C run-time's wide argument vector, CommandLineToArgvW
//   shell32    loaded only when a start needs it
//   processes  CreateProcessW, waits, SetConsoleCtrlHandler
//   entry      no dialogs: abort and crashes end the process at once
//
// Everything but the seam is static.
#include "platform/platform.h"
#include "platform/win32_for_tests.h"
#include "platform/held_folders.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>
#include <winternl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <signal.h>
#include <stdlib.h>

// ---------------------------------------------------------------- errors

uint32_t platform_last_error(void) {
  return (uint32_t)GetLastError();
}

char* platform_error_text(uint32_t code) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
      nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), (LPSTR)&text, 0, nullptr);
  return length != 0 ? text : nullptr;
}

char* platform_display_text(const wchar_t* text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return nullptr;
  char* converted = (char*)malloc((size_t)size);
  if (converted != nullptr &&
      WideCharToMultiByte(CP_UTF8, 0, text, -1, converted, size, nullptr, nullptr) <= 0) {
    converted[0] = 0;
  }
  return converted;
}

// ---------------------------------------------------------------- security

// The token's user and its default owner, the account that owns what the
// process creates (the Administrators group for an elevated administrator),
// read once.
alignas(8) static unsigned char UserSid[SECURITY_MAX_SID_SIZE];
alignas(8) static unsigned char DefaultOwnerSid[SECURITY_MAX_SID_SIZE];
static bool TokenSidsKnown;

static bool read_token_sids(void) {
  if (TokenSidsKnown) return true;
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  union {
    TOKEN_USER user;
    TOKEN_OWNER owner;
    unsigned char room[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } information;
  DWORD size = 0;
  TokenSidsKnown =
      GetTokenInformation(token, TokenUser, &information, sizeof information, &size) &&
      CopySid(sizeof UserSid, UserSid, information.user.User.Sid) &&
      GetTokenInformation(token, TokenOwner, &information, sizeof information, &size) &&
      CopySid(sizeof DefaultOwnerSid, DefaultOwnerSid, information.owner.Owner);
  CloseHandle(token);
  return TokenSidsKnown;
}

// What every folder the launcher creates gets: full control for the user,
// SYSTEM and Administrators, inherited by everything created inside, and a
// protected list, so that nothing a shared parent grants (to Users, Everyone,
// CREATOR OWNER) flows in.  Built once; null when it cannot be built.
alignas(8) static unsigned char PrivateAcl[1024];
static SECURITY_DESCRIPTOR PrivateDescriptor;
static SECURITY_ATTRIBUTES PrivateAttributes;

SECURITY_ATTRIBUTES* private_folder_attributes(void) {
  if (PrivateAttributes.nLength != 0) return &PrivateAttributes;
  if (!read_token_sids()) return nullptr;
  alignas(8) unsigned char system[SECURITY_MAX_SID_SIZE];
  alignas(8) unsigned char administrators[SECURITY_MAX_SID_SIZE];
  DWORD system_size = sizeof system, administrators_size = sizeof administrators;
  ACL* acl = (ACL*)PrivateAcl;
  const DWORD inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size) ||
      !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators,
                          &administrators_size) ||
      !InitializeAcl(acl, sizeof PrivateAcl, ACL_REVISION) ||
      !AddAccessAllowedAceEx(acl, ACL_REVISION, inherited, FILE_ALL_ACCESS, UserSid) ||
      !AddAccessAllowedAceEx(acl, ACL_REVISION, inherited, FILE_ALL_ACCESS, system) ||
      !AddAccessAllowedAceEx(acl, ACL_REVISION, inherited, FILE_ALL_ACCESS, administrators) ||
      !InitializeSecurityDescriptor(&PrivateDescriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&PrivateDescriptor, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&PrivateDescriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return nullptr;
  }
  PrivateAttributes.lpSecurityDescriptor = &PrivateDescriptor;
  PrivateAttributes.bInheritHandle = FALSE;
  PrivateAttributes.nLength = sizeof PrivateAttributes;
  return &PrivateAttributes;
}

static void copy_cut(const wchar_t* text, wchar_t* out, size_t capacity) {
  if (capacity == 0) return;
  size_t length = wcslen(text);
  if (length > capacity - 1) length = capacity - 1;
  wmemcpy(out, text, length);
  out[length] = 0;
}

// The system's own accounts, which own the folders Windows itself made (C:\,
// C:\Users, C:\ProgramData) and what an elevated start makes: SYSTEM,
// Administrators and TrustedInstaller.  They can change anything anyway, as
// root can on Linux.
static bool system_account(PSID sid) {
  alignas(8) static unsigned char system[SECURITY_MAX_SID_SIZE];
  alignas(8) static unsigned char administrators[SECURITY_MAX_SID_SIZE];
  alignas(8) static unsigned char installer[SECURITY_MAX_SID_SIZE];
  static bool built;
  if (!built) {
    DWORD system_size = sizeof system, administrators_size = sizeof administrators;
    // NT SERVICE\TrustedInstaller: S-1-5-80- and the hash of its name.
    static const DWORD installer_parts[5] = {956008885, 3418522649, 1831038044, 1853292631,
                                             2271478464};
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size) ||
        !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators,
                            &administrators_size) ||
        !InitializeSid((PSID)installer, &nt, 6)) {
      return false;
    }
    *GetSidSubAuthority((PSID)installer, 0) = SECURITY_SERVICE_ID_BASE_RID;
    for (DWORD i = 0; i < 5; ++i) *GetSidSubAuthority((PSID)installer, i + 1) = installer_parts[i];
    built = true;
  }
  return EqualSid(sid, system) || EqualSid(sid, administrators) || EqualSid(sid, installer);
}

static bool well_known(PSID sid, WELL_KNOWN_SID_TYPE type) {
  alignas(8) unsigned char known[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof known;
  return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

// Whose an object is, by the owner in its descriptor: the user's own (or its
// default owner's) or the system's, another account's, or unknown.  A volume
// that keeps no owners reports Everyone, or no owner at all: unknown.
static platform_trust owner_judged(PSECURITY_DESCRIPTOR descriptor) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (descriptor == nullptr || !read_token_sids() ||
      !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr ||
      !IsValidSid(owner) || well_known(owner, WinWorldSid)) {
    return PLATFORM_TRUST_UNREADABLE;
  }
  return EqualSid(owner, UserSid) || EqualSid(owner, DefaultOwnerSid) || system_account(owner)
             ? PLATFORM_TRUSTED
             : PLATFORM_NOT_OWNED;
}

// The accounts an access list may give anything: the user, its default
// owner and the system's own; CREATOR OWNER, which stands for whoever
// creates an object inside (the launcher's user, for what it writes) and
// matches no account on the folder itself; OWNER RIGHTS, the folder's owner,
// already judged.
static bool own_account(PSID sid) {
  return EqualSid(sid, UserSid) || EqualSid(sid, DefaultOwnerSid) || system_account(sid) ||
         well_known(sid, WinCreatorOwnerSid) || well_known(sid, WinCreatorOwnerRightsSid);
}

// The rights over a folder that let an account put something of its own
// where the launcher looks: adding an entry, and taking one away or
// renaming it (the folder's own DELETE, its children's through
// FILE_DELETE_CHILD), or giving itself any of these.  On a file the same
// bits write its data, delete it, or change its access list or owner.
static const ACCESS_MASK ADD_RIGHTS = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
static const ACCESS_MASK CHANGE_RIGHTS = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

// What the folder's access list lets other accounts do.  Every allowing
// entry that applies to the folder itself counts and, in the target folder,
// every one that the files made there inherit (the launcher writes its
// files with what the target passes on; the folders it makes get their own
// private list).  A folder above the target may let others add entries,
// which are then theirs and lie beside the path (C:\ProgramData does, and
// C:\ itself), but not take away, rename or re-permit what is there.  Denying
// entries are not weighed: they can only take rights away, and whom they
// reach depends on group memberships that cannot be seen from here, so
// leaving them out may refuse a safe folder, never accept an unsafe one.
// An allowing entry of a kind whose account is not read counts as
// another account's.
static platform_trust access_list_judged(PSECURITY_DESCRIPTOR descriptor, bool above) {
  BOOL present = FALSE, defaulted = FALSE;
  ACL* acl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) {
    return PLATFORM_TRUST_UNREADABLE;
  }
  // No list, or a null one, grants everyone everything.
  if (!present || acl == nullptr) return PLATFORM_OTHERS_CAN_WRITE;
  const ACCESS_MASK refused = above ? CHANGE_RIGHTS : ADD_RIGHTS | CHANGE_RIGHTS;
  GENERIC_MAPPING file_rights = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                 FILE_ALL_ACCESS};
  for (DWORD index = 0; index < acl->AceCount; ++index) {
    ACE_HEADER* entry = nullptr;
    if (!GetAce(acl, index, (void**)&entry)) return PLATFORM_TRUST_UNREADABLE;
    bool inherit_only = (entry->AceFlags & INHERIT_ONLY_ACE) != 0;
    bool reaches_files = (entry->AceFlags & OBJECT_INHERIT_ACE) != 0;
    if (inherit_only && (above || !reaches_files)) continue;
    // Every allowing kind keeps its mask right behind the header.
    ACCESS_MASK rights = ((ACCESS_ALLOWED_ACE*)entry)->Mask;
    PSID account = nullptr;
    switch (entry->AceType) {
      case ACCESS_ALLOWED_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
        account = &((ACCESS_ALLOWED_ACE*)entry)->SidStart;
        break;
      case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
      case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
        break;
      default:
        continue;  // denying, auditing, labels
    }
    MapGenericMask(&rights, &file_rights);
    if ((rights & refused) != 0 &&
        (account == nullptr || !IsValidSid(account) || !own_account(account))) {
      return PLATFORM_OTHERS_CAN_WRITE;
    }
  }
  return PLATFORM_TRUSTED;
}

platform_trust judge_folder_security(PSECURITY_DESCRIPTOR descriptor, bool above) {
  platform_trust trust = owner_judged(descriptor);
  return trust == PLATFORM_TRUSTED ? access_list_judged(descriptor, above) : trust;
}

// The security descriptor of the object behind the handle, with what was
// asked for, in one buffer that an access list of the largest size fits;
// null when it cannot be read.
static PSECURITY_DESCRIPTOR read_security(HANDLE object, SECURITY_INFORMATION wanted) {
  alignas(8) static unsigned char descriptor[65536 + 1024];
  DWORD needed = 0;
  return GetKernelObjectSecurity(object, wanted, descriptor, sizeof descriptor, &needed)
             ? descriptor
             : nullptr;
}

// Whose the object behind the handle is (the lock's mutex).
static platform_trust owner_trust(HANDLE object) {
  return owner_judged(read_security(object, OWNER_SECURITY_INFORMATION));
}

// A volume that keeps no owners and no access lists (FAT, exFAT, some
// network shares) reports Everyone or no owner, and a list that lets
// everyone do everything: any account on the machine can change what it
// holds.  Where the launcher's own file lies on that very volume, whoever can
// change a folder there can change the launcher itself, which the user chose
// to start all the same, so a folder there is trusted as the launcher is; a
// launcher on a USB stick can keep its files beside it.  Any other such
// volume stays refused.  Volumes are told apart by the serial numbers read
// from handles to the folder and to the launcher's file, not by the text of
// a drive letter, which subst, mount points and links make another volume's.
bool on_launcher_volume(HANDLE object) {
  static wchar_t launcher[32768];
  static DWORD launcher_volume;
  static bool known;
  if (!known) {
    DWORD length = GetModuleFileNameW(nullptr, launcher, 32768);
    if (length == 0 || length >= 32768) return false;
    HANDLE file = CreateFileW(launcher, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION information;
    known = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    if (!known) return false;
    launcher_volume = information.dwVolumeSerialNumber;
  }
  BY_HANDLE_FILE_INFORMATION information;
  return GetFileInformationByHandle(object, &information) &&
         information.dwVolumeSerialNumber == launcher_volume;
}

static bool ownerless_launcher_volume(HANDLE folder) {
  DWORD flags = 0;
  return GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
         (flags & FILE_PERSISTENT_ACLS) == 0 && on_launcher_volume(folder);
}

static HANDLE open_for_owner(const wchar_t* path, DWORD flags) {
  return CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// The length of the root a full path starts with, separator included ("C:\",
// "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\", "\\?\Volume{...}\");
// 0 for none of these.
static size_t after_component(const wchar_t* path, size_t at) {
  while (path[at] != 0 && path[at] != L'\\') ++at;
  return path[at] == L'\\' ? at + 1 : at;
}

static size_t root_length(const wchar_t* path) {
  bool device = wcsncmp(path, L"\\\\?\\", 4) == 0 || wcsncmp(path, L"\\\\.\\", 4) == 0;
  const wchar_t* rest = device ? path + 4 : path;
  size_t base = device ? 4 : 0;
  if (rest[0] != 0 && rest[1] == L':' && rest[2] == L'\\') return base + 3;
  if (device && _wcsnicmp(rest, L"UNC\\", 4) == 0) {
    return after_component(path, after_component(path, base + 4));
  }
  if (device) return after_component(path, base);
  if (path[0] == L'\\' && path[1] == L'\\') return after_component(path, after_component(path, 2));
  return 0;
}

// The walk's buffers: the path still to walk (a link's target takes the
// place of the link) and the part of it being looked at.
static const size_t WALK_CAPACITY = 32768;
static wchar_t Walked[WALK_CAPACITY];
static wchar_t Looked[WALK_CAPACITY];

// Opens the folder at Looked without following a link there, making it first,
// with the private descriptor, when it is missing.  Its folder has been judged
// already.  A folder made here needs no judging: it is the user's by its
// making.  INVALID_HANDLE_VALUE with *trust set otherwise.
static HANDLE open_or_make(platform_trust* trust, bool* made) {
  *made = false;
  HANDLE folder = open_for_owner(Looked, FILE_FLAG_OPEN_REPARSE_POINT);
  if (folder != INVALID_HANDLE_VALUE) return folder;
  DWORD error = GetLastError();
  if (error != ERROR_FILE_NOT_FOUND) {
    *trust = error == ERROR_PATH_NOT_FOUND ? PLATFORM_NOT_MADE : PLATFORM_TRUST_UNREADABLE;
    return INVALID_HANDLE_VALUE;
  }
  platform_directory_result result = platform_create_directory(Looked);
  if (result == PLATFORM_DIRECTORY_FAILED) {
    *trust = PLATFORM_NOT_MADE;
  } else if (result == PLATFORM_DIRECTORY_CREATED) {
    *made = true;
    *trust = PLATFORM_TRUSTED;
  } else {
    folder = open_for_owner(Looked, FILE_FLAG_OPEN_REPARSE_POINT);
    *trust = PLATFORM_TRUST_UNREADABLE;
  }
  return folder;
}

// Judges the folder behind the handle: its owner and its access list, as a
// folder above the target when above.  A link (a junction or a symbolic
// link) is judged as an object of its own, as strictly as the target, since
// an account that may write to it could point it elsewhere, and *link says
// to follow it.
static platform_trust judge_folder(HANDLE folder, bool above, bool* link) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  *link = false;
  if (!GetFileInformationByHandleEx(folder, FileAttributeTagInfo, &tag, sizeof tag)) {
    return PLATFORM_TRUST_UNREADABLE;
  }
  // Other reparse points (deduplicated or cloud files) are no links.
  *link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
          IsReparseTagNameSurrogate(tag.ReparseTag);
  platform_trust trust = judge_folder_security(
      read_security(folder, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
      above && !*link);
  return trust != PLATFORM_TRUSTED && ownerless_launcher_volume(folder) ? PLATFORM_TRUSTED : trust;
}

// Puts the final path of what Looked leads to in front of the rest of the
// walk, from position rest of Walked on.  False when that cannot be had or
// does not fit.
static bool follow_link(size_t rest) {
  HANDLE followed = open_for_owner(Looked, 0);
  if (followed == INVALID_HANDLE_VALUE) return false;
  DWORD length = GetFinalPathNameByHandleW(followed, Looked, (DWORD)WALK_CAPACITY,
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(followed);
  size_t rest_length = wcslen(Walked + rest);
  if (length == 0 || length + rest_length + 1 > WALK_CAPACITY) return false;
  wmemmove(Walked + length, Walked + rest, rest_length + 1);
  wmemcpy(Walked, Looked, length);
  return true;
}

// Walks the path from its root one folder at a time, making what is missing
// and following each link to the final path it leads to, whose folders are
// then walked in turn.  Every folder on the way and the target itself must be
// owned by the user or by the system's own accounts: an account that owns a
// folder can give itself the right to rename or replace what it holds, and
// C:\ProgramData lets every user make a folder there that they own.  Their
// access lists must keep other accounts out as judge_folder_security says:
// a folder made by hand in C:\ProgramData inherits the right of every user
// to add files to it.  When all of it exists that is one open per folder.  The launcher then works by
// path: no other account can rename or replace any part of the judged chain.
platform_trust platform_secure_directory(const wchar_t* directory, wchar_t* culprit,
                                         size_t capacity, bool* made_target) {
  *made_target = false;
  size_t length = wcslen(directory);
  if (length + 1 > WALK_CAPACITY) {
    copy_cut(directory, culprit, capacity);
    return PLATFORM_TRUST_UNREADABLE;
  }
  wmemcpy(Walked, directory, length + 1);
  platform_trust trust = PLATFORM_TRUSTED;
  for (int links = 0; trust == PLATFORM_TRUSTED;) {
    size_t at = root_length(Walked);
    if (at == 0) {
      trust = PLATFORM_TRUST_UNREADABLE;
      wmemcpy(Looked, Walked, wcslen(Walked) + 1);
      break;
    }
    bool followed = false;
    // The root first, then each folder below it; at is where the next begins.
    for (size_t end = at; trust == PLATFORM_TRUSTED; at = end) {
      wmemcpy(Looked, Walked, end);
      Looked[end] = 0;
      size_t next = end;
      while (Walked[next] == L'\\') ++next;
      bool made = false, link = false;
      HANDLE folder = open_or_make(&trust, &made);
      // The last folder looked at is the target directory itself.
      *made_target = made;
      if (folder != INVALID_HANDLE_VALUE) {
        if (!made) trust = judge_folder(folder, Walked[next] != 0, &link);
        CloseHandle(folder);
      }
      if (trust != PLATFORM_TRUSTED) break;
      if (link) {
        // The rest keeps its separator: it follows the final path.
        if (++links > 40 || !follow_link(end)) trust = PLATFORM_TRUST_UNREADABLE;
        followed = true;
        break;
      }
      end = next;
      if (Walked[end] == 0) break;
      end = after_component(Walked, end);
      if (Walked[end - 1] == L'\\') --end;
    }
    if (!followed) break;
  }
  if (trust != PLATFORM_TRUSTED) copy_cut(Looked, culprit, capacity);
  return trust;
}

// ---------------------------------------------------------------- files

static HANDLE as_handle(platform_handle handle) {
  return (HANDLE)handle;
}

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

// Whether the file behind the handle may hold a record's contents: a plain
// file (no link or other reparse point, which was opened itself, not
// followed) of the user's or the system's.  Another account could change
// what its file holds after it was checked.  Its length goes to *length.
static bool plain_file_of_the_user(HANDLE file, uint64_t* length) {
  file_facts facts;
  if (!read_file_facts(file, &facts)) return false;
  const DWORD not_plain = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  *length = facts.length;
  return (facts.attributes & not_plain) == 0 && owner_trust(file) == PLATFORM_TRUSTED;
}

// Opens the file at path itself: a link there is opened, not followed.
static HANDLE open_without_following(const wchar_t* path, DWORD access, DWORD flags) {
  return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | flags, nullptr);
}

// Opens the file at path for writing, length 0.  A new name costs one open;
// an existing file is written over only when it is a plain file of the
// user's with no other name, and otherwise deleted (a link itself, never what
// it leads to) and made anew.  A file the user cannot open for writing stays
// and fails, unless another account owns it.
static HANDLE open_for_writing(const wchar_t* path, DWORD share) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, share, nullptr, CREATE_NEW, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
  file = CreateFileW(path, GENERIC_WRITE | READ_CONTROL | FILE_READ_ATTRIBUTES, share, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  bool replace;
  if (file == INVALID_HANDLE_VALUE) {
    DWORD failure = GetLastError();
    HANDLE looked = open_without_following(path, FILE_READ_ATTRIBUTES | READ_CONTROL, 0);
    replace = failure == ERROR_ACCESS_DENIED && looked != INVALID_HANDLE_VALUE &&
              owner_trust(looked) == PLATFORM_NOT_OWNED;
    if (looked != INVALID_HANDLE_VALUE) CloseHandle(looked);
    SetLastError(failure);
    if (!replace) return INVALID_HANDLE_VALUE;
  } else {
    file_facts facts;
    if (!read_file_facts(file, &facts)) {
      CloseHandle(file);
      return INVALID_HANDLE_VALUE;
    }
    replace = (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || facts.links > 1 ||
              owner_trust(file) != PLATFORM_TRUSTED;
    if (!replace) {
      if (SetEndOfFile(file)) return file;
      DWORD failure = GetLastError();
      CloseHandle(file);
      SetLastError(failure);
      return INVALID_HANDLE_VALUE;
    }
    CloseHandle(file);
  }
  if (!DeleteFileW(path) && GetLastError() != ERROR_FILE_NOT_FOUND) return INVALID_HANDLE_VALUE;
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

// ---------------------------------------------------------------- paths

// A folder is never created open to others: without its private descriptor
// it is not created at all, and the open that needed it reports the failure.
platform_directory_result platform_create_directory(const wchar_t* path) {
  SECURITY_ATTRIBUTES* attributes = private_folder_attributes();
  if (attributes == nullptr) return PLATFORM_DIRECTORY_FAILED;
  if (CreateDirectoryW(path, attributes)) return PLATFORM_DIRECTORY_CREATED;
  return GetLastError() == ERROR_ALREADY_EXISTS ? PLATFORM_DIRECTORY_EXISTS
                                                : PLATFORM_DIRECTORY_FAILED;
}

size_t platform_wide_from_utf16(const uint16_t* units, size_t count, wchar_t* out) {
  for (size_t i = 0; i < count; ++i) out[i] = (wchar_t)units[i];
  out[count] = 0;
  return count;
}

// Whether a component names a device in every folder: CON, PRN, AUX, NUL,
// COM and LPT with a digit (or a superscript one to three), in any case,
// with or without an extension.
static bool is_device_name(const wchar_t* component, size_t length) {
  size_t base = 0;
  while (base < length && component[base] != L'.') ++base;
  while (base > 0 && component[base - 1] == L' ') --base;
  wchar_t upper[4];
  if (base != 3 && base != 4) return false;
  for (size_t i = 0; i < 3; ++i) {
    wchar_t unit = component[i];
    upper[i] = unit >= L'a' && unit <= L'z' ? (wchar_t)(unit - 32) : unit;
  }
  upper[3] = 0;
  if (base == 3) {
    return wcscmp(upper, L"CON") == 0 || wcscmp(upper, L"PRN") == 0 ||
           wcscmp(upper, L"AUX") == 0 || wcscmp(upper, L"NUL") == 0;
  }
  wchar_t last = component[3];
  bool numbered = (last >= L'0' && last <= L'9') || last == 0xB9 || last == 0xB2 || last == 0xB3;
  return numbered && (wcscmp(upper, L"COM") == 0 || wcscmp(upper, L"LPT") == 0);
}

// One spelling of a unit for every case the file system may give it.  The
// system's own case table is not at hand, so every unit that it might fold
// onto another beyond ASCII becomes one and the same.
static wchar_t folded_unit(wchar_t unit) {
  if (unit >= L'A' && unit <= L'Z') unit = (wchar_t)(unit + 32);
  if (unit >= 0x80 || unit == L'i' || unit == L's' || unit == L'k') return 0x80;
  return unit;
}

bool platform_name_key(const wchar_t* name, wchar_t* key) {
  size_t start = 0;
  for (size_t i = 0;; ++i) {
    wchar_t unit = name[i];
    if (unit == L'\\' || unit == L'/' || unit == 0) {
      size_t length = i - start;
      if (length == 0) return false;
      wchar_t last = name[i - 1];
      if (last == L'.' || last == L' ' || is_device_name(name + start, length)) return false;
      start = i + 1;
      key[i] = unit == 0 ? 0 : L'\\';
      if (unit == 0) return true;
      continue;
    }
    if (unit < 0x20 || wcschr(L"<>:\"|?*~", unit) != nullptr) return false;
    key[i] = folded_unit(unit);
  }
}

bool platform_is_bare_root(const wchar_t* path) {
  return path[0] != 0 && path[1] == L':' && path[2] == 0;
}

size_t platform_full_path(const wchar_t* path, wchar_t* out, size_t capacity) {
  return GetFullPathNameW(path, (DWORD)capacity, out, nullptr);
}

size_t platform_temp_directory(wchar_t* out, size_t capacity) {
  DWORD length = GetTempPathW((DWORD)capacity, out);
  // Too small a buffer gets the length it would need, and nothing written.
  if (length == 0 || length >= capacity) {
    out[0] = 0;
    return 0;
  }
  return length;
}

size_t platform_executable_path(wchar_t* out, size_t capacity) {
  if (capacity == 0) return 0;
  DWORD length = GetModuleFileNameW(nullptr, out, (DWORD)capacity);
  if (length == 0) {
    out[0] = 0;
    return 0;
  }
  // A path the system had to cut is taken as it comes, terminated; with room
  // for the terminator alone that is the empty text, still a success.
  if (length >= capacity) {
    out[capacity - 1] = 0;
    return capacity;
  }
  return length;
}

static FARPROC shell32_function(const char* name);

static bool folder_path(int folder, wchar_t* out, size_t capacity) {
  typedef HRESULT(WINAPI * folder_query)(HWND, int, HANDLE, DWORD, LPWSTR);
  folder_query query = (folder_query)(void*)shell32_function("SHGetFolderPathW");
  wchar_t found[MAX_PATH];
  if (query == nullptr || query(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, found) != S_OK) {
    return false;
  }
  size_t length = wcslen(found);
  if (length + 1 > capacity) return false;
  wmemcpy(out, found, length + 1);
  return true;
}

bool platform_profile_directory(wchar_t* out, size_t capacity) {
  return folder_path(CSIDL_PROFILE, out, capacity);
}

bool platform_cache_directory(wchar_t* out, size_t capacity) {
  return folder_path(CSIDL_LOCAL_APPDATA, out, capacity);
}

// ---------------------------------------------------------------- removal

typedef NTSTATUS(NTAPI* open_relative_function)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                                PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                                                ULONG, ULONG, PVOID, ULONG);

// Folders deeper than this below the target are left; no application's
// tree comes near it, and each level holds a listing buffer and a handle.
static const int DEEPEST_REMOVAL = 64;

// Opens name (count units, not NUL-terminated) inside the folder behind
// parent, relative to that handle, never following a link there: a folder
// for listing and deleting, anything else for deleting alone, so that a
// file another process shares for deleting but not for reading still goes.
static HANDLE open_inside(HANDLE parent, const wchar_t* name, size_t count, bool folder) {
  static open_relative_function open_relative = (open_relative_function)(void*)GetProcAddress(
      GetModuleHandleW(L"ntdll.dll"), "NtCreateFile");
  if (open_relative == nullptr || count * sizeof(wchar_t) > 0xFFFF) return INVALID_HANDLE_VALUE;
  UNICODE_STRING text;
  text.Buffer = (PWSTR)name;
  text.Length = text.MaximumLength = (USHORT)(count * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, parent, nullptr);
  IO_STATUS_BLOCK status;
  HANDLE opened = INVALID_HANDLE_VALUE;
  ACCESS_MASK access = DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES | (folder ? FILE_LIST_DIRECTORY : 0);
  ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT |
                  (folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
  NTSTATUS result = open_relative(&opened, access, &attributes, &status, nullptr, 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                  options, nullptr, 0);
  return result >= 0 ? opened : INVALID_HANDLE_VALUE;
}

// A folder (not a link to one) behind the handle.
static bool is_plain_folder(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
         (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Has the object behind the handle deleted when the handle is closed.  A
// read-only file is made writable first, as it is ours to remove.
static void delete_on_close(HANDLE handle) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) return;
  FILE_BASIC_INFO basic;
  if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    basic.FileAttributes &= ~(DWORD)FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
    basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
    if (SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) {
      SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    }
  }
}

// Deletes what the folder holds, each entry opened relative to the folder's
// handle: a link (a junction, a symbolic link) is deleted itself, never
// entered.  Entries are listed again after a pass that deleted any; a pass
// that deletes nothing ends it, so what another process holds is left.
static void empty_folder(HANDLE folder, int depth) {
  alignas(8) unsigned char buffer[4096];
  for (bool deleted = true; deleted;) {
    deleted = false;
    FILE_INFO_BY_HANDLE_CLASS listing = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, listing, buffer, sizeof buffer)) {
      listing = FileIdBothDirectoryInfo;
      for (size_t at = 0;;) {
        const FILE_ID_BOTH_DIR_INFO* entry = (const FILE_ID_BOTH_DIR_INFO*)(buffer + at);
        const wchar_t* name = entry->FileName;
        size_t count = entry->FileNameLength / sizeof(wchar_t);
        bool dots = (count == 1 && name[0] == L'.') || (count == 2 && name[0] == L'.' && name[1] == L'.');
        bool is_folder = (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                         (entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        HANDLE inside = dots ? INVALID_HANDLE_VALUE : open_inside(folder, name, count, is_folder);
        if (inside != INVALID_HANDLE_VALUE) {
          if (is_folder && depth < DEEPEST_REMOVAL && is_plain_folder(inside)) {
            empty_folder(inside, depth + 1);
          }
          delete_on_close(inside);
          CloseHandle(inside);
          HANDLE still = open_inside(folder, name, count, is_folder);
          if (still == INVALID_HANDLE_VALUE) {
            deleted = true;
          } else {
            CloseHandle(still);
          }
        }
        if (entry->NextEntryOffset == 0) break;
        at += entry->NextEntryOffset;
      }
    }
  }
}

static void let_go_below(size_t depth);

void platform_remove_directory_tree(const wchar_t* directory) {
  // The folders held open below the target since the unpacking are let go
  // first: Windows keeps a held folder from being deleted.
  let_go_below(0);
  // The folders above were judged before anything was unpacked: no other
  // account can change them, so the path leads to the folder itself.
  HANDLE folder = CreateFileW(directory, DELETE | SYNCHRONIZE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return;
  if (is_plain_folder(folder)) {
    empty_folder(folder, 0);
    delete_on_close(folder);
  }
  CloseHandle(folder);
}

// ---------------------------------------------------------------- lock

static const DWORD LOCK_POLL_MS = 20;

// The lock is a mutex named after the folder's identity, its volume serial
// number and file index, read from a handle to the folder: every spelling of
// the folder (case, short names, "\\?\" forms, links, subst drives) gives the
// same name, and nothing lies in the folder.  The system gives an abandoned
// mutex to the next waiter when its holder ends, however it ends; that
// waiter then holds it, and looks at each file again as always.
//
// The name lives in Global\, so that every session of the user, services
// and scheduled tasks included, meets the same lock.  Any account can
// create a name there first, so the launcher creates the mutex with the
// private descriptor (the user, SYSTEM and Administrators) and uses one that
// already exists only when the user or the system owns it: a name another
// account holds, or made first, is never waited on, and the start goes on at
// once without the lock, as after the wait.  (Local\, the session's own
// names, would keep other sessions' accounts out, but two sessions of the
// same user would then write into one folder at the same time; a private
// namespace, bounded by the user's SID, would need neither check, but Wine
// has none to test it with.)
static bool folder_mutex_name(const wchar_t* directory, wchar_t* name, size_t capacity) {
  HANDLE folder = CreateFileW(directory, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  bool known = GetFileInformationByHandle(folder, &information) != 0;
  CloseHandle(folder);
  return known && _snwprintf(name, capacity, L"Global\\zovari-onefile-%08lx-%08lx%08lx",
                             information.dwVolumeSerialNumber, information.nFileIndexHigh,
                             information.nFileIndexLow) > 0;
}

platform_handle platform_lock_directory(const wchar_t* directory, uint32_t milliseconds) {
  wchar_t name[64];
  SECURITY_ATTRIBUTES* attributes = private_folder_attributes();
  if (attributes == nullptr || !folder_mutex_name(directory, name, 64)) return 0;
  HANDLE mutex = CreateMutexW(attributes, FALSE, name);
  if (mutex == nullptr) return 0;
  // Wine keeps no owner for a mutex; Windows always gives one.
  if (GetLastError() == ERROR_ALREADY_EXISTS && owner_trust(mutex) == PLATFORM_NOT_OWNED) {
    CloseHandle(mutex);
    return 0;
  }
  ULONGLONG started = GetTickCount64();
  for (;;) {
    DWORD waited = WaitForSingleObject(mutex, LOCK_POLL_MS);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return (platform_handle)mutex;
    if (waited != WAIT_TIMEOUT || GetTickCount64() - started >= milliseconds) break;
  }
  CloseHandle(mutex);
  return 0;
}

void platform_unlock_directory(platform_handle lock) {
  ReleaseMutex(as_handle(lock));
  CloseHandle(as_handle(lock));
}

// ---------------------------------------------------------------- inside

// The folders held below the target directory, the target directory first:
// Held[i] is the folder whose path is HeldPath's first HeldEnds[i] units.
// Each is held without FILE_SHARE_DELETE, so that nobody can rename, delete
// or replace it while this start checks, writes and starts files by paths
// that run through it.
static const size_t HELD_DEPTH = 4096;
static wchar_t HeldPath[WALK_CAPACITY];
static size_t HeldEnds[HELD_DEPTH];
static HANDLE Held[HELD_DEPTH];
static size_t HeldDepth;

static HANDLE hold_folder(const wchar_t* path) {
  return CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                     nullptr);
}

// Looks at the folder at HeldPath (cut at its end) through the handle: a
// plain folder gives PLATFORM_TRUSTED or its owner's verdict, a link
// PLATFORM_NOT_MADE with *link set.  Wine reports a Unix link only by path.
static platform_trust judge_held_folder(HANDLE folder, bool* link) {
  FILE_ATTRIBUTE_TAG_INFO tag;
  *link = false;
  if (!GetFileInformationByHandleEx(folder, FileAttributeTagInfo, &tag, sizeof tag)) {
    return PLATFORM_TRUST_UNREADABLE;
  }
  DWORD by_path = GetFileAttributesW(HeldPath);
  DWORD attributes = tag.FileAttributes | (by_path != INVALID_FILE_ATTRIBUTES ? by_path : 0);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return PLATFORM_NOT_MADE;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A junction or symbolic link is replaced; any other reparse point
    // (cloud or deduplicated files) is a folder whose contents the system
    // fetches from elsewhere, and is refused.
    if (tag.ReparseTag != 0 && !IsReparseTagNameSurrogate(tag.ReparseTag)) return PLATFORM_TRUST_UNREADABLE;
    *link = true;
    return PLATFORM_NOT_MADE;
  }
  return owner_trust(folder);
}

// Opens and judges the folder at HeldPath; a link there is removed (the link
// itself) and a private folder made in its place.
static HANDLE open_inner_folder(platform_trust* trust) {
  HANDLE folder = hold_folder(HeldPath);
  if (folder == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    *trust = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PLATFORM_NOT_MADE
                                                                            : PLATFORM_TRUST_UNREADABLE;
    return folder;
  }
  bool link = false;
  *trust = judge_held_folder(folder, &link);
  if (!link) return folder;
  CloseHandle(folder);
  if (!RemoveDirectoryW(HeldPath) ||
      platform_create_directory(HeldPath) != PLATFORM_DIRECTORY_CREATED) {
    return INVALID_HANDLE_VALUE;  // stays PLATFORM_NOT_MADE
  }
  folder = hold_folder(HeldPath);
  if (folder == INVALID_HANDLE_VALUE) return folder;
  *trust = judge_held_folder(folder, &link);
  return folder;
}

static void let_go_below(size_t depth) {
  while (HeldDepth > depth) CloseHandle(Held[--HeldDepth]);
}

platform_trust platform_enter_folder(const wchar_t* path, size_t target_length, size_t length,
                                     wchar_t* culprit, size_t capacity) {
  if (length >= WALK_CAPACITY) {
    copy_cut(path, culprit, capacity);
    return PLATFORM_TRUST_UNREADABLE;
  }
  let_go_below(held_on_the_way(HeldPath, HeldEnds, HeldDepth, path, target_length, length, L'\\'));
  wmemcpy(HeldPath, path, length);
  HeldPath[length] = 0;
  if (HeldDepth == 0) {
    // Judged already; held so that it stays where it was judged.
    HeldPath[target_length] = 0;
    HANDLE target = hold_folder(HeldPath);
    if (target == INVALID_HANDLE_VALUE) {
      copy_cut(HeldPath, culprit, capacity);
      return PLATFORM_TRUST_UNREADABLE;
    }
    HeldPath[target_length] = path[target_length];
    Held[0] = target;
    HeldEnds[0] = target_length;
    HeldDepth = 1;
  }
  for (size_t at = HeldEnds[HeldDepth - 1]; at < length;) {
    size_t end = next_component(path, &at, length, L'\\');
    if (end == at) break;
    if (HeldDepth == HELD_DEPTH) return PLATFORM_NOT_MADE;
    wchar_t after = HeldPath[end];
    HeldPath[end] = 0;
    platform_trust trust = PLATFORM_TRUSTED;
    HANDLE folder = open_inner_folder(&trust);
    if (trust != PLATFORM_TRUSTED) {
      if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
      if (trust != PLATFORM_NOT_MADE) copy_cut(HeldPath, culprit, capacity);
      HeldPath[end] = after;
      return trust;
    }
    HeldPath[end] = after;
    Held[HeldDepth] = folder;
    HeldEnds[HeldDepth++] = end;
    at = end;
  }
  return PLATFORM_TRUSTED;
}

// ---------------------------------------------------------------- quick start

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

// Lists the folder ListedFolder names (length units) on one handle to it,
// opened without following a link, and pushes its listing.
static bool list_folder(size_t length) {
  if (ListingCount == LISTING_DEPTH) return false;
  HANDLE folder = CreateFileW(ListedFolder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
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
    return true;
  }
  return false;
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

// ---------------------------------------------------------------- environment

size_t platform_get_environment(const wchar_t* name, wchar_t* out, size_t capacity) {
  DWORD length = GetEnvironmentVariableW(name, out, (DWORD)capacity);
  if (length == 0 || length >= capacity) return 0;
  return length;
}

bool platform_set_environment(const wchar_t* name, const wchar_t* value) {
  return SetEnvironmentVariableW(name, value) != 0;
}

// ---------------------------------------------------------------- identity, time

uint32_t platform_process_id(void) {
  return (uint32_t)GetCurrentProcessId();
}

int64_t platform_system_time(void) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (int64_t)(((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime);
}

int64_t platform_performance_counter(void) {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

void platform_narrow_library_search(void) {
  SetDllDirectoryW(L"");
}

// ---------------------------------------------------------------- arguments

const wchar_t* platform_argument_zero(void) {
  return (__wargv != nullptr && __argc > 0) ? __wargv[0] : nullptr;
}

// ---------------------------------------------------------------- shell32

// shell32 is loaded the first time a start needs it, not at every start:
// under Wine it brings user32 and gdi32 along, some 6 MiB of working set and
// 25 ms, and on Windows it is no small library either.  Only the system's
// own copy is loaded: Windows 7 and Server 2008 R2 without KB2533623 know
// no search flags and refuse them as an invalid parameter, so there it is
// loaded by its full path in the system folder, and what it needs from the
// same folder first.
HMODULE load_system_library(const wchar_t* name, DWORD search) {
  HMODULE library = LoadLibraryExW(name, nullptr, search);
  if (library != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return library;
  wchar_t path[MAX_PATH + 64];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  size_t name_length = wcslen(name);
  if (length == 0 || length >= MAX_PATH || length + 1 + name_length + 1 > MAX_PATH + 64) {
    return nullptr;
  }
  path[length] = L'\\';
  wmemcpy(path + length + 1, name, name_length + 1);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

static FARPROC shell32_function(const char* name) {
  static HMODULE shell32;
  if (shell32 == nullptr) {
    shell32 = load_system_library(L"shell32.dll", LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shell32 == nullptr) return nullptr;
  }
  return GetProcAddress(shell32, name);
}

static bool is_space_or_tab(wchar_t unit) {
  return unit == L' ' || unit == L'\t';
}

// A command line with no quote behind its first argument and no control
// character anywhere splits as CommandLineToArgvW splits it without asking
// it: the first argument runs to its closing quote, or to the first space or
// tab, and must be followed by one of them or end the line; the others are
// the runs between spaces and tabs, a backslash being itself when no quote
// follows.  Any other line (an empty one, one that starts with a space or
// tab, quotes or escapes behind the first argument) is left to the system.
// The array and its text are one block, never released.
bool split_plain_command_line(const wchar_t* line, wchar_t*** arguments, int* count) {
  if (line[0] == 0 || is_space_or_tab(line[0])) return false;
  for (const wchar_t* unit = line; *unit != 0; ++unit) {
    if (*unit < 0x20 && *unit != L'\t') return false;
  }
  size_t first_end;  // behind the first argument's text
  size_t rest;       // where the others begin
  if (line[0] == L'"') {
    const wchar_t* closing = wcschr(line + 1, L'"');
    if (closing == nullptr) return false;
    first_end = (size_t)(closing - line);
    rest = first_end + 1;
    if (line[rest] != 0 && !is_space_or_tab(line[rest])) return false;
  } else {
    // A quote inside an unquoted first argument opens a quoted part of it.
    if (wcschr(line, L'"') != nullptr) return false;
    first_end = 0;
    while (line[first_end] != 0 && !is_space_or_tab(line[first_end])) ++first_end;
    rest = line[first_end] != 0 ? first_end + 1 : first_end;  // past the separator
  }
  if (wcschr(line + rest, L'"') != nullptr) return false;
  size_t length = wcslen(line);
  size_t slots = 2 + (length - rest) / 2 + 1;  // at most one argument per two units
  wchar_t** array = (wchar_t**)LocalAlloc(LMEM_FIXED, slots * sizeof(wchar_t*) +
                                                          (length + 1) * sizeof(wchar_t));
  if (array == nullptr) return false;
  wchar_t* text = (wchar_t*)(array + slots);
  wmemcpy(text, line, length + 1);
  int found = 0;
  size_t first_start = line[0] == L'"' ? 1 : 0;
  text[first_end] = 0;
  array[found++] = text + first_start;
  for (size_t at = rest; at < length;) {
    while (at < length && is_space_or_tab(text[at])) text[at++] = 0;
    if (at == length) break;
    array[found++] = text + at;
    while (at < length && !is_space_or_tab(text[at])) ++at;
  }
  array[found] = nullptr;
  *arguments = array;
  *count = found;
  return true;
}

wchar_t** platform_launcher_arguments(int* count) {
  static wchar_t** arguments;
  static int argument_count;
  if (arguments == nullptr &&
      !split_plain_command_line(GetCommandLineW(), &arguments, &argument_count)) {
    typedef LPWSTR*(WINAPI * splitter)(LPCWSTR, int*);
    splitter split = (splitter)(void*)shell32_function("CommandLineToArgvW");
    // Never released: the child's arguments point into it to the end.
    if (split != nullptr) arguments = split(GetCommandLineW(), &argument_count);
  }
  *count = arguments != nullptr ? argument_count : 0;
  return arguments;
}

// ---------------------------------------------------------------- processes

bool platform_start_child(const wchar_t* application, wchar_t* command_line, wchar_t* const*,
                          int, platform_handle* process) {
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION information;
  ZeroMemory(&information, sizeof information);
  // The child shares the console (and so its control events), the
  // environment and the current directory.
  if (!CreateProcessW(application, command_line, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                      nullptr, nullptr, &startup, &information)) {
    return false;
  }
  if (information.hThread != nullptr) CloseHandle(information.hThread);
  *process = (platform_handle)information.hProcess;
  return true;
}

bool platform_wait_process(platform_handle process, uint32_t milliseconds) {
  return WaitForSingleObject(as_handle(process), milliseconds) == WAIT_OBJECT_0;
}

bool platform_process_exit_code(platform_handle process, uint32_t* code) {
  DWORD exit_code = 0;
  if (!GetExitCodeProcess(as_handle(process), &exit_code)) return false;
  *code = exit_code;
  return true;
}

void platform_terminate_process(platform_handle process, uint32_t exit_code) {
  TerminateProcess(as_handle(process), exit_code);
}

void platform_release_process(platform_handle process) {
  CloseHandle(as_handle(process));
}

void platform_pass_event_to_child(platform_handle, platform_console_event) {}

static platform_console_handler ConsoleHandler;
static volatile LONG ConsoleEventRunning;

// The console control codes that stand for an event the launcher handles.
static bool event_for_code(DWORD code, platform_console_event* event) {
  switch (code) {
    case CTRL_C_EVENT: *event = PLATFORM_CONSOLE_INTERRUPT; return true;
    case CTRL_BREAK_EVENT: *event = PLATFORM_CONSOLE_BREAK; return true;
    case CTRL_CLOSE_EVENT: *event = PLATFORM_CONSOLE_CLOSE; return true;
    case CTRL_LOGOFF_EVENT: *event = PLATFORM_CONSOLE_LOGOFF; return true;
    case CTRL_SHUTDOWN_EVENT: *event = PLATFORM_CONSOLE_SHUTDOWN; return true;
    default: return false;
  }
}

// FALSE in every case: the event goes on to the next handler in the chain,
// by default the system's, which ends the launcher.
static BOOL WINAPI on_console_event(DWORD code) {
  platform_console_event event;
  if (event_for_code(code, &event)) {
    InterlockedExchange(&ConsoleEventRunning, 1);
    ConsoleHandler(event);
  }
  return FALSE;
}

bool platform_register_console_handler(platform_console_handler handler) {
  ConsoleHandler = handler;
  return SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

// Nothing of the C run-time's abort: no message box, no report, at once.
// What the launcher wrote before goes out first.
void platform_abort(void) {
  fflush(stdout);
  fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 3);
  _exit(3);
}

void platform_keep_arguments(int, char**) {}

// The loader refuses an image whose sections lie beyond the end of its file.
bool platform_image_is_whole(void) {
  return true;
}

// The loader maps each section for its virtual size (its raw size where that
// is 0), from the headers it loaded the image by.
uint64_t platform_image_part_size(const void* address) {
  const unsigned char* base = (const unsigned char*)GetModuleHandleW(nullptr);
  const IMAGE_NT_HEADERS* headers = (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
  uintptr_t offset = (uintptr_t)address - (uintptr_t)base;
  for (unsigned i = 0; i < headers->FileHeader.NumberOfSections; ++i, ++section) {
    uint64_t size = section->Misc.VirtualSize != 0 ? section->Misc.VirtualSize : section->SizeOfRawData;
    if (offset >= section->VirtualAddress && offset - section->VirtualAddress < size) {
      return size - (offset - section->VirtualAddress);
    }
  }
  return 0;
}

static void on_abort_signal(int) {
  platform_abort();
}

// A crash ends the launcher with the exception's code, as it would after the
// system's report, without the report's window.
static LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* exception) {
  TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

// A windowless launcher may run unattended, so nothing may wait on a click.
// The C run-time writes its abort text to standard error instead of a
// message box and leaves through platform_abort; the system's boxes for an
// unready drive are off on this thread only.  The process-wide error mode
// (SetErrorMode) is left alone: the child inherits it, and the application
// would lose its own crash reports and drive prompts.
void platform_refuse_dialogs(void) {
  _set_error_mode(_OUT_TO_STDERR);
  signal(SIGABRT, on_abort_signal);
  SetThreadErrorMode(GetThreadErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX,
                     nullptr);
  SetUnhandledExceptionFilter(on_unhandled_exception);
}

// The system's default handling ends the launcher once the handler has
// passed the event on; give it the time to do so rather than race it with
// the child's exit code.
void platform_await_console_event(void) {
  for (int waited = 0; ConsoleEventRunning != 0 && waited < 10000; waited += 50) {
    Sleep(50);
  }
}

void platform_end_as_the_child_ended(void) {}

#endif
