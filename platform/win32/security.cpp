// The user's identity, the private descriptor of the folders the
// launcher makes, and whose an object is and who else may change it.
#include "platform/platform.h"
#include "platform/win32_for_tests.h"

#if ZOVARI_PLATFORM_WIN32

#include <windows.h>

#include "platform/win32/shared.h"

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

PSECURITY_DESCRIPTOR read_security(HANDLE object, SECURITY_INFORMATION wanted) {
  alignas(8) static unsigned char descriptor[65536 + 1024];
  DWORD needed = 0;
  return GetKernelObjectSecurity(object, wanted, descriptor, sizeof descriptor, &needed)
             ? descriptor
             : nullptr;
}

platform_trust owner_trust(HANDLE object) {
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

platform_trust trust_on_volume(platform_trust judged, bool volume_keeps_owners, bool launcher_volume) {
  return judged != PLATFORM_TRUSTED && !volume_keeps_owners && launcher_volume ? PLATFORM_TRUSTED : judged;
}

bool ownerless_launcher_volume(HANDLE folder) {
  DWORD flags = 0;
  bool read = GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) != 0;
  return read && trust_on_volume(PLATFORM_TRUST_UNREADABLE, (flags & FILE_PERSISTENT_ACLS) != 0,
                                 on_launcher_volume(folder)) == PLATFORM_TRUSTED;
}

// The volume is asked about only where the descriptor alone does not do:
// what the launcher made on a volume that keeps owners costs one read.
platform_trust inside_trust(HANDLE object) {
  platform_trust trust =
      judge_folder_security(read_security(object, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION), false);
  return trust != PLATFORM_TRUSTED && ownerless_launcher_volume(object) ? PLATFORM_TRUSTED : trust;
}

#endif
