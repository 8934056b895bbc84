// Directory creation and the known-directory table.  The table lives for the
// whole process, so each case runs in a fresh zovari-piece-runner.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "platform/win32_for_tests.h"
#else
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "support/test_support.h"

namespace {

class Directories : public testing::Test {
 protected:
  std::wstring path(const std::wstring& relative) const {
    std::wstring joined = folder_.path() + PLATFORM_SEPARATOR + relative;
    for (wchar_t& unit : joined) {
      if (unit == L'/' || unit == L'\\') unit = PLATFORM_SEPARATOR;
    }
    return joined;
  }

  test_support::ChildResult steps(const std::vector<std::wstring>& list) {
    std::wstring runner = test_support::sibling_program(L"zovari-piece-runner");
    std::vector<std::wstring> arguments = {runner, L"dirs"};
    arguments.insert(arguments.end(), list.begin(), list.end());
    return test_support::run_program(runner, arguments);
  }

  test_support::TempDir folder_;
};

}  // namespace

TEST_F(Directories, ClimbFindsTheFirstExistingLevelAndCreatesDownward) {
  test_support::ChildResult result = steps({L"p:" + path(L"a/b/c/file"), L"n"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(test_support::directory_exists(path(L"a/b/c")));
  EXPECT_FALSE(test_support::file_exists(path(L"a/b/c/file")));
  // The profile folder and the three created: the climb ended at "a", whose
  // parent was there, so the parent itself never needed asking.
  EXPECT_EQ(result.out, "known=4\n");
}

TEST_F(Directories, KnownDirectoriesCostNoSystemCall) {
  // a/b is removed behind the table's back: a second file there does not
  // bring it back, since the table says it exists.
  test_support::ChildResult result = steps(
      {L"p:" + path(L"a/b/one"), L"n", L"rmdir:" + path(L"a/b"), L"p:" + path(L"a/b/two"), L"n"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "known=3\nknown=3\n");
  EXPECT_FALSE(test_support::directory_exists(path(L"a/b")));
  EXPECT_TRUE(test_support::directory_exists(path(L"a")));
}

TEST_F(Directories, RegularFileCountsAsAnExistingDirectory) {
  ASSERT_TRUE(test_support::write_file(path(L"plain"), "x"));
  test_support::ChildResult result =
      steps({L"d:" + path(L"plain"), L"p:" + path(L"plain/inner/file")});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "d=1\n");
  EXPECT_TRUE(test_support::file_exists(path(L"plain")));
}

TEST_F(Directories, PathsWithoutAParentCreateNothing) {
  std::wstring root_only = std::wstring(1, PLATFORM_SEPARATOR) + L"zovari-no-parent";
  test_support::ChildResult result = steps({L"p:", L"p:" + root_only, L"p:nameonly", L"n"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // Not even the profile folder: the table was never consulted.
  EXPECT_EQ(result.out, "known=0\n");
}

TEST_F(Directories, TableStopsAt1024EntriesAndCreationGoesOn) {
  test_support::ChildResult result =
      steps({L"fill:" + folder_.path() + L":1025", L"n", L"d:" + path(L"d1024"), L"n"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "created=1025\nknown=1024\nd=1\nknown=1024\n");
  for (const wchar_t* name : {L"d0000", L"d1022", L"d1023", L"d1024"}) {
    EXPECT_TRUE(test_support::directory_exists(path(name))) << test_support::narrow(name);
  }
}

// A start removes only a folder it made itself: the made flag is set for the
// folder a call made, not for one it found.  The removal takes everything in
// the folder, a read-only file too, and a link inside goes by itself: what it
// leads to outside stays.
TEST_F(Directories, FolderThisCallMadeIsToldAndRemovedWhole) {
  wchar_t culprit[8] = L"";
  bool made = false;
  EXPECT_EQ(platform_secure_directory(path(L"start").c_str(), culprit, 8, &made), PLATFORM_TRUSTED);
  EXPECT_TRUE(made);
  EXPECT_EQ(platform_secure_directory(path(L"start").c_str(), culprit, 8, &made), PLATFORM_TRUSTED);
  EXPECT_FALSE(made);
  for (const wchar_t* folder : {L"outside", L"start/sub", L"start/sub/deeper", L"start/sub/empty"}) {
    ASSERT_TRUE(test_support::make_directory(path(folder)));
  }
  ASSERT_TRUE(test_support::write_file(path(L"outside/kept.txt"), "kept"));
  for (const wchar_t* name : {L"start/a.txt", L"start/sub/deeper/b.txt", L"start/sub/none.txt"}) {
    ASSERT_TRUE(test_support::write_file(path(name), "data"));
  }
#ifdef _WIN32
  ASSERT_TRUE(SetFileAttributesW(path(L"start/a.txt").c_str(), FILE_ATTRIBUTE_READONLY));
#endif
#ifndef _WIN32
  ASSERT_EQ(symlink(test_support::narrow(path(L"outside")).c_str(),
                    test_support::narrow(path(L"start/sub/to-folder")).c_str()), 0);
  ASSERT_EQ(symlink(test_support::narrow(path(L"outside/kept.txt")).c_str(),
                    test_support::narrow(path(L"start/to-file")).c_str()), 0);
#endif
  platform_remove_directory_tree(path(L"start").c_str(), 60000);
  EXPECT_FALSE(test_support::directory_exists(path(L"start")));
  EXPECT_FALSE(test_support::file_exists(path(L"start")));
  std::string kept;
  EXPECT_TRUE(test_support::read_file(path(L"outside/kept.txt"), &kept));
  EXPECT_EQ(kept, "kept");
}

#ifdef _WIN32
TEST_F(Directories, BareDriveCountsAsExistingWithoutAnEntry) {
  test_support::ChildResult result =
      steps({L"d:C:", L"n", L"p:C:\\zovari-unit-no-such-file", L"n"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "d=1\nknown=1\nknown=1\n");
}

namespace {
std::wstring sid_text(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"?";
  std::wstring copy = text;
  LocalFree(text);
  return copy;
}

std::wstring token_user_sid() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"?";
  unsigned char room[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  std::wstring text = L"?";
  if (GetTokenInformation(token, TokenUser, room, sizeof room, &size)) {
    text = sid_text(((TOKEN_USER*)room)->User.Sid);
  }
  CloseHandle(token);
  return text;
}

// The names a folder's access list grants anything to, each with full
// control passed on to what is made inside.
std::set<std::wstring> granted_names(const std::wstring& folder) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  std::set<std::wstring> granted;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return {L"unreadable"};
  }
  for (DWORD index = 0; dacl != nullptr && index < dacl->AceCount; ++index) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, index, (void**)&ace) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) {
      granted.insert(L"other entry");
      continue;
    }
    std::wstring name = sid_text(&ace->SidStart);
    if (ace->Mask != FILE_ALL_ACCESS) name += L" (limited)";
    if ((ace->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) !=
        (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) {
      name += L" (not inherited)";
    }
    granted.insert(name);
  }
  LocalFree(descriptor);
  return granted;
}

PSID owner_of(const std::wstring& folder, PSECURITY_DESCRIPTOR* descriptor) {
  PSID owner = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, descriptor) != ERROR_SUCCESS) {
    return nullptr;
  }
  return owner;
}
}  // namespace

// A folder the launcher creates grants full control to the user, SYSTEM and
// Administrators and to nobody else, whatever its parent grants.  A folder
// that another account owns is refused; a missing one is not.
TEST_F(Directories, CreatedFoldersArePrivateAndOthersFoldersRefused) {
  std::wstring created = path(L"private");
  ASSERT_EQ(platform_create_directory(created.c_str()), PLATFORM_DIRECTORY_CREATED);
  std::set<std::wstring> granted = granted_names(created);
  EXPECT_EQ(granted.count(token_user_sid()), 1u);
  // Wine keeps no access list of its own: it reads one back from the Unix
  // mode, which names the user and SYSTEM only, and Everyone for a folder
  // open to others.
  for (const std::wstring& name : granted) {
    EXPECT_TRUE(name == token_user_sid() || name == L"S-1-5-18" || name == L"S-1-5-32-544")
        << test_support::narrow(name);
  }

  // Protected: nothing a shared parent grants flows in (on disk only real
  // Windows keeps the flag).
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_NE(private_folder_attributes(), nullptr);
  ASSERT_TRUE(GetSecurityDescriptorControl(private_folder_attributes()->lpSecurityDescriptor, &control, &revision));
  EXPECT_EQ(control & SE_DACL_PROTECTED, SE_DACL_PROTECTED);

  wchar_t culprit[8] = L"";
  bool made = false;
  EXPECT_EQ(platform_secure_directory(created.c_str(), culprit, 8, &made), PLATFORM_TRUSTED);
  EXPECT_EQ(platform_secure_directory(path(L"missing").c_str(), culprit, 8, &made), PLATFORM_TRUSTED);
  // The Users group stands for another account, where the system keeps the
  // owner it is given (Wine gives a file's owner from the Unix one).
  std::wstring foreign = path(L"foreign");
  ASSERT_TRUE(CreateDirectoryW(foreign.c_str(), nullptr));
  unsigned char users[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof users;
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinUsersSid, nullptr, users, &size));
  SetNamedSecurityInfoW(&foreign[0], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, users, nullptr,
                        nullptr, nullptr);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PSID owner = owner_of(foreign, &descriptor);
  ASSERT_NE(owner, nullptr);
  bool kept = EqualSid(owner, users) != FALSE;
  LocalFree(descriptor);
  if (kept) {
    EXPECT_EQ(platform_secure_directory(foreign.c_str(), culprit, 8, &made), PLATFORM_NOT_OWNED);
    EXPECT_EQ(std::wstring(culprit), foreign.substr(0, 7));
  }
}

// Owners and access lists as descriptors, a table that covers what Wine
// cannot put on disk (it reads a folder's list back from the Unix mode: the
// owner and SYSTEM, and Everyone with 0x1200a9, or 0x1301ff when others may
// write, sticky or not; the group's bits do not show).  ME is the user.
TEST_F(Directories, OwnersAndAccessListsJudged) {
  const platform_trust ok = PLATFORM_TRUSTED, open = PLATFORM_OTHERS_CAN_WRITE;
  const std::wstring installer = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  wchar_t* own_list = nullptr;
  ASSERT_NE(private_folder_attributes(), nullptr);
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
      private_folder_attributes()->lpSecurityDescriptor, SDDL_REVISION_1,
      DACL_SECURITY_INFORMATION, &own_list, nullptr));
  struct Row {
    std::wstring descriptor;
    platform_trust target, above;
  } rows[] = {
      // What the launcher makes, and what an elevated start makes.
      {L"O:ME" + std::wstring(own_list), ok, ok},
      {L"O:BA" + std::wstring(own_list), ok, ok},
      // C:\ProgramData: every user may add entries, which are then theirs.
      {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
       L"(A;CI;0x116;;;BU)", open, ok},
      // C:\: users may make folders, and change what they hold (inherit-only).
      {L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;;0x4;;;AU)"
       L"(A;OICIIO;SDGXGWGR;;;AU)", open, ok},
      // C:\Program Files: TrustedInstaller's, read for users.
      {L"O:" + installer + L"D:P(A;;FA;;;" + installer + L")(A;OICI;0x1200a9;;;BU)" +
       L"(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;AC)", ok, ok},
      // Wine's 0755 and 0777.
      {L"O:MED:(A;OICI;FA;;;SY)(A;OICI;FA;;;ME)(A;OICI;0x1200a9;;;WD)", ok, ok},
      {L"O:MED:(A;OICI;FA;;;SY)(A;OICI;FA;;;ME)(A;OICI;0x1301ff;;;WD)", open, open},
      // Each right over the folder that another account may not have.
      {L"O:MED:(A;;0x2;;;IU)", open, ok},
      {L"O:MED:(A;;GW;;;BU)", open, ok},
      {L"O:MED:(A;;0x40;;;BU)", open, open},
      {L"O:MED:(A;;SD;;;AU)", open, open},
      {L"O:MED:(A;;WD;;;BU)", open, open},
      {L"O:MED:(A;;WO;;;WD)", open, open},
      {L"O:MED:(A;;GA;;;IU)", open, open},
      // Inherit-only entries: the files written in the target get the first.
      {L"O:MED:(A;OIIO;FA;;;BU)", open, ok},
      {L"O:MED:(A;CIIO;FA;;;BU)", ok, ok},
      // CREATOR OWNER becomes the user who writes there; CREATOR GROUP, a group.
      {L"O:MED:(A;OICIIO;FA;;;CO)(A;OICI;FA;;;OW)", ok, ok},
      {L"O:MED:(A;OIIO;FA;;;CG)", open, ok},
      // A denying entry takes nothing away here.
      {L"O:MED:(D;;FA;;;BU)(A;;FA;;;BU)", open, open},
      // No list at all grants everyone everything (a null one too, below).
      {L"O:ME", open, open},
      // Owners: another account, and Everyone (a volume that keeps none).
      {L"O:BUD:P(A;;FA;;;SY)", PLATFORM_NOT_OWNED, PLATFORM_NOT_OWNED},
      {L"O:WDD:P(A;;FA;;;SY)", PLATFORM_TRUST_UNREADABLE, PLATFORM_TRUST_UNREADABLE},
  };
  LocalFree(own_list);
  std::wstring me = token_user_sid();
  for (Row& row : rows) {
    std::wstring text = row.descriptor;
    for (size_t at; (at = text.find(L"ME")) != std::wstring::npos;) text.replace(at, 2, me);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr))
        << test_support::narrow(text);
    EXPECT_EQ(judge_folder_security(descriptor, false), row.target) << test_support::narrow(text);
    EXPECT_EQ(judge_folder_security(descriptor, true), row.above) << test_support::narrow(text);
    LocalFree(descriptor);
  }
  // Wine's SDDL reads "D:NO_ACCESS_CONTROL" as an empty list, not a null one.
  SECURITY_DESCRIPTOR null_list;
  unsigned char system[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof system;
  ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
  ASSERT_TRUE(InitializeSecurityDescriptor(&null_list, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorOwner(&null_list, system, FALSE) &&
              SetSecurityDescriptorDacl(&null_list, TRUE, nullptr, FALSE));
  EXPECT_EQ(judge_folder_security(&null_list, true), open);

  // A volume that keeps no owners makes any verdict trusted on the
  // launcher's own volume alone: the cache folder's chain, the folders below
  // it and the files alike (Wine shows no such volume, so its facts are given).
  struct VolumeRow {
    platform_trust judged;
    bool keeps_owners, launcher_volume;
    platform_trust trust;
  } volume_rows[] = {{PLATFORM_TRUST_UNREADABLE, false, true, ok},
                     {open, false, true, ok},
                     {PLATFORM_TRUST_UNREADABLE, false, false, PLATFORM_TRUST_UNREADABLE},
                     {PLATFORM_TRUST_UNREADABLE, true, true, PLATFORM_TRUST_UNREADABLE},
                     {PLATFORM_NOT_OWNED, true, true, PLATFORM_NOT_OWNED},
                     {ok, true, false, ok}};
  for (const VolumeRow& row : volume_rows) {
    EXPECT_EQ(trust_on_volume(row.judged, row.keeps_owners, row.launcher_volume), row.trust)
        << row.judged << row.keeps_owners << row.launcher_volume;
  }

  // A volume is told by its identity: this program's folder lies on its
  // own; under Wine C: is another volume than Z:, where the tests run.
  std::wstring own = test_support::sibling_program(L"zovari-piece-runner");
  own.resize(own.rfind(L'\\'));
  HANDLE folder = CreateFileW(own.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(folder, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(on_launcher_volume(folder));
  CloseHandle(folder);
  if (own[0] == L'Z') {
    folder = CreateFileW(L"C:\\", FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(folder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(on_launcher_volume(folder));
    CloseHandle(folder);
  }
}
#else
// The profile folder is taken as existing without asking the system, so a
// climb below a profile folder that is not there stops at it.
TEST_F(Directories, ClimbStopsAtTheProfileFolder) {
  test_support::ScopedEnvironment environment;
  environment.set("HOME", path(L"home"));
  test_support::ChildResult result = steps({L"p:" + path(L"home/a/file"), L"n"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "known=1\n");
  EXPECT_FALSE(test_support::directory_exists(path(L"home")));
}
#endif
