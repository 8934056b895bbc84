// Path template expansion and the run-time values behind its tokens.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <wctype.h>

#include <string>

#include "paths/bounded.h"
#include "paths/environment.h"
#include "paths/executable_path.h"
#include "paths/runtime_values.h"
#include "paths/template.h"
#include "platform/platform.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>

#include "platform/win32_for_tests.h"
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

const std::wstring SEPARATOR(1, PLATFORM_SEPARATOR);

struct Expansion {
  bool ok;
  std::wstring text;
};

Expansion expand(const std::wstring& path_template, size_t capacity = PATH_CAPACITY) {
  static wchar_t output[PATH_CAPACITY + 1];
  wmemset(output, L'#', PATH_CAPACITY + 1);
  bool ok = expand_path_template(output, path_template.c_str(), capacity);
  return {ok, output};
}

// What the test program's own path query says, independently of the core.
std::wstring own_path() { return test_support::own_program_path(); }

// The run-time value variables start absent in every test that reads them.
class RuntimeValues : public testing::Test {
 protected:
  void SetUp() override {
    environment_.unset("ZOVARI_ONEFILE_RANDOM");
    environment_.unset("ZOVARI_ONEFILE_TIME_US");
    environment_.unset("ZOVARI_ONEFILE_START");
    environment_.unset("ZOVARI_ONEFILE_PARENT");
  }
  test_support::ScopedEnvironment environment_;
};

std::wstring variable(const char* name) {
  wchar_t* value = get_environment_value(name);
  std::wstring text = value != nullptr ? value : L"<unset>";
  free(value);
  return text;
}

bool all_digits(const std::wstring& text) {
  for (wchar_t unit : text) {
    if (unit < L'0' || unit > L'9') return false;
  }
  return !text.empty();
}

}  // namespace

TEST(PathTemplate, LiteralsAreCopiedUnchanged) {
  EXPECT_TRUE(expand(L"").ok);
  EXPECT_EQ(expand(L"").text, L"");
  Expansion literal = expand(L"a/b\\\\c\\ d/");
  EXPECT_TRUE(literal.ok);
  EXPECT_EQ(literal.text, L"a/b\\\\c\\ d/");
  // A "}" that no "{" opened is an ordinary character.
  for (const wchar_t* stray : {L"}a", L"a}", L"a}}b", L"}"}) {
    Expansion copied = expand(stray);
    EXPECT_TRUE(copied.ok) << test_support::narrow(stray);
    EXPECT_EQ(copied.text, stray);
  }
  Expansion after_token = expand(L"{VERSION}}x}");
  EXPECT_TRUE(after_token.ok);
  EXPECT_EQ(after_token.text, L"1.2.3}x}");
}

TEST(PathTemplate, TokenNamesIgnoreCase) {
  EXPECT_EQ(expand(L"{cache_dir}").text, expand(L"{CACHE_DIR}").text);
  EXPECT_TRUE(expand(L"{Cache_Dir}").ok);
  Expansion build = expand(L"{company}|{Product}|{VERSION}|{file_version}|{PRODUCT_version}");
  EXPECT_TRUE(build.ok);
  EXPECT_EQ(build.text, L"Zovari Test Company|ZovariTest|1.2.3|1.2.3.4|1.2.3.5");
}

TEST(PathTemplate, OpeningBraceRestartsTheTokenAndAnOpenTokenIsDropped) {
  Expansion nested = expand(L"{A{TEMP}");
  EXPECT_TRUE(nested.ok);
  EXPECT_EQ(nested.text, expand(L"{TEMP}").text);
  Expansion open = expand(L"abc{TEMP");
  EXPECT_TRUE(open.ok);
  EXPECT_EQ(open.text, L"abc");
}

TEST(PathTemplate, UnknownTokenReturnsFalseAndKeepsTheTextBeforeIt) {
  Expansion empty = expand(L"x{}y");
  EXPECT_FALSE(empty.ok);
  EXPECT_EQ(empty.text, L"x");
  Expansion unknown = expand(L"ab{VERSION}{FOO}cd");
  EXPECT_FALSE(unknown.ok);
  EXPECT_EQ(unknown.text, L"ab1.2.3");
  EXPECT_FALSE(expand(L"{TEMP_X}").ok);
}

TEST(PathTemplate, LiteralsFillTheCapacityLessOne) {
  Expansion fits = expand(L"abcd", 5);
  EXPECT_TRUE(fits.ok);
  EXPECT_EQ(fits.text, L"abcd");
  Expansion over = expand(L"abcde", 5);
  EXPECT_FALSE(over.ok);
  EXPECT_EQ(over.text, L"abcd");
}

TEST(PathTemplate, ValueThatDoesNotFitAborts) {
  // "ZovariTest" is 10 characters: 11 units with the NUL.
  EXPECT_TRUE(expand(L"{PRODUCT}", 11).ok);
  EXPECT_DEATH(expand(L"{PRODUCT}", 10), "");
  EXPECT_DEATH(expand(L"ab{PRODUCT}", 12), "");
}

TEST(PathTemplate, FolderThatDoesNotFitAborts) {
  EXPECT_DEATH(expand(L"{HOME}", 3), "");
  EXPECT_DEATH(expand(L"{CACHE_DIR}", 3), "");
}

TEST(ExecutablePath, IsTheOwnPathAskedForOnce) {
  const wchar_t* first = get_executable_path();
  EXPECT_EQ(std::wstring(first), own_path());
  EXPECT_EQ(get_executable_path(), first);
}

TEST(PathTemplate, FolderTokensNeverEndInASeparator) {
  for (const wchar_t* token : {L"{TEMP}", L"{HOME}", L"{CACHE_DIR}"}) {
    Expansion folder = expand(token);
    ASSERT_TRUE(folder.ok) << test_support::narrow(token);
    ASSERT_FALSE(folder.text.empty());
    if (folder.text != L"/") {
      EXPECT_NE(folder.text.back(), PLATFORM_SEPARATOR) << test_support::narrow(folder.text);
    }
    // The separator written after the token is the only one there.
    Expansion joined = expand(std::wstring(token) + SEPARATOR + L"App");
    EXPECT_EQ(joined.text, folder.text + SEPARATOR + L"App");
  }
}

TEST(PathTemplate, ProgramTokensComeFromTheOwnPath) {
  std::wstring path = own_path();
  EXPECT_EQ(expand(L"{PROGRAM}").text, path);
  EXPECT_EQ(expand(L"{PROGRAM_DIR}").text, path.substr(0, path.find_last_of(PLATFORM_SEPARATOR)));
  std::wstring base = expand(L"{PROGRAM_BASE}").text;
#ifdef _WIN32
  EXPECT_EQ(base + L".exe", path);
#else
  EXPECT_EQ(base, path);  // no ".exe" to cut
#endif
  // Nested expansions start at the cursor and leave the text before them.
  EXPECT_EQ(expand(L"<{PROGRAM_DIR}>").text, L"<" + expand(L"{PROGRAM_DIR}").text + L">");
}

// {PROGRAM_BASE} of a program stored under other names: only a final ".exe",
// in any case, is cut.
TEST(PathTemplate, ProgramBaseCutsOnlyAFinalExe) {
  test_support::TempDir folder;
  std::wstring upper = folder / L"Tool.EXE", backup = folder / L"tool.exe.bak";
  ASSERT_TRUE(test_support::copy_file(test_support::sibling_program(L"zovari-expand"), upper));
  ASSERT_TRUE(test_support::copy_file(test_support::sibling_program(L"zovari-expand"), backup));

  test_support::ChildResult result =
      test_support::run_program(upper, {upper, L"{PROGRAM_BASE}|{PROGRAM_DIR}"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, test_support::narrow(folder / L"Tool") + "|" +
                            test_support::narrow(folder.path()) + "\n");

  result = test_support::run_program(backup, {backup, L"{PROGRAM_BASE}"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, test_support::narrow(backup) + "\n");
}

#ifdef _WIN32
namespace {
std::wstring without_trailing_backslashes(std::wstring path) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

std::wstring shell_folder(int folder) {
  wchar_t path[MAX_PATH];
  if (SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return L"?";
  return path;
}
}  // namespace

TEST(PathTemplate, WindowsFoldersAreTheSystemsOwn) {
  wchar_t temp[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(expand(L"{TEMP}").text, without_trailing_backslashes(std::wstring(temp, length)));
  EXPECT_EQ(expand(L"{HOME}").text, without_trailing_backslashes(shell_folder(CSIDL_PROFILE)));
  EXPECT_EQ(expand(L"{CACHE_DIR}").text,
            without_trailing_backslashes(shell_folder(CSIDL_LOCAL_APPDATA)));
  // The shipped layout: exactly one backslash between the folder and the rest.
  EXPECT_EQ(expand(L"{CACHE_DIR}\\Fendix\\{VERSION}").text,
            without_trailing_backslashes(shell_folder(CSIDL_LOCAL_APPDATA)) +
                L"\\Fendix\\1.2.3");
}

// Where the system refuses the search flags as an invalid parameter, as
// Windows 7 without KB2533623 refuses them all, the folder tokens' shell32
// comes from the system folder by its full path.  Wine refuses the flag
// together with LOAD_WITH_ALTERED_SEARCH_PATH, which stands in here.
TEST(PathTemplate, ShellLibraryComesByItsFullPathWhereSearchFlagsAreRefused) {
  const DWORD refused = LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_WITH_ALTERED_SEARCH_PATH;
  ASSERT_EQ(LoadLibraryExW(L"shell32.dll", nullptr, refused), nullptr);
  ASSERT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
  HMODULE library = load_system_library(L"shell32.dll", refused);
  ASSERT_NE(library, nullptr);
  wchar_t loaded[MAX_PATH], system[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(library, loaded, MAX_PATH), 0u);
  ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 0u);
  EXPECT_EQ(_wcsicmp(loaded, (std::wstring(system) + L"\\shell32.dll").c_str()), 0)
      << test_support::narrow(loaded);
}

TEST(PathTemplate, TempOfAnotherSettingLosesAllItsTrailingBackslashes) {
  test_support::TempDir folder;
  test_support::ScopedEnvironment environment;
  environment.set("TMP", folder.path() + L"\\\\");
  environment.set("TEMP", folder.path() + L"\\\\");
  EXPECT_EQ(expand(L"{TEMP}").text, folder.path());
}

// The same folders as a separate program sees them.
TEST(PathTemplate, ExpandToolAgreesWithTheSystem) {
  std::wstring tool = test_support::sibling_program(L"zovari-expand");
  test_support::ChildResult result =
      test_support::run_program(tool, {tool, L"{CACHE_DIR}|{HOME}|{TEMP}"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  wchar_t temp[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  EXPECT_EQ(
      result.out,
      test_support::narrow(without_trailing_backslashes(shell_folder(CSIDL_LOCAL_APPDATA))) + "|" +
          test_support::narrow(without_trailing_backslashes(shell_folder(CSIDL_PROFILE))) + "|" +
          test_support::narrow(without_trailing_backslashes(std::wstring(temp, length))) + "\n");
}

// A temporary folder that does not fit what is left of the output leaves
// nothing behind it, and the expansion stops there.
TEST(PathTemplate, TempThatDoesNotFitStopsTheExpansion) {
  wchar_t temp[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  ASSERT_GT(length, 4u);
  Expansion cut = expand(L"ab{TEMP}\\x", 4);
  EXPECT_FALSE(cut.ok);
  EXPECT_EQ(cut.text, L"ab");
}

// The own path is written with the room that is left and taken as the query
// cut it, down to the empty text when only the terminator fits.
TEST(PathTemplate, ProgramIsTakenAsTheQueryCutIt) {
  std::wstring path = own_path();
  Expansion cut = expand(L"ab{PROGRAM}", 6);
  EXPECT_TRUE(cut.ok);
  EXPECT_EQ(cut.text, L"ab" + path.substr(0, 3));
  Expansion empty = expand(L"ab{PROGRAM}", 3);
  EXPECT_TRUE(empty.ok);
  EXPECT_EQ(empty.text, L"ab");
}

// A program in the root of a drive has the bare drive as its folder.
TEST(PathTemplate, ProgramDirOfADriveRootIsTheDriveAlone) {
  std::wstring copy = L"C:\\zovari-unit-expand-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
  if (!test_support::copy_file(test_support::sibling_program(L"zovari-expand"), copy)) {
    GTEST_SKIP() << "cannot write into the root of drive C: here";
  }
  test_support::ChildResult result =
      test_support::run_program(copy, {copy, L"{PROGRAM_DIR}|{PROGRAM_BASE}"});
  DeleteFileW(copy.c_str());
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "C:|" + test_support::narrow(copy.substr(0, copy.size() - 4)) + "\n");
}
#else
// A temporary folder that is known but too long for the space left stops the
// expansion; falling back to /tmp would put the files somewhere else.
TEST(PathTemplate, TmpdirThatDoesNotFitStopsTheExpansion) {
  test_support::ScopedEnvironment environment;
  environment.set("TMPDIR", L"/var/tmp/zovari");
  Expansion cut = expand(L"ab{TEMP}", 8);
  EXPECT_FALSE(cut.ok);
  EXPECT_EQ(cut.text, L"ab");
}

namespace {
std::wstring password_home() {
  struct passwd* entry = getpwuid(getuid());
  return entry != nullptr ? test_support::widen(entry->pw_dir) : L"?";
}
}  // namespace

TEST(PathTemplate, TempIsAnAbsoluteTmpdirOrElseSlashTmp) {
  test_support::ScopedEnvironment environment;
  environment.set("TMPDIR", L"/var/zovari tmp//");
  EXPECT_EQ(expand(L"{TEMP}").text, L"/var/zovari tmp");
  environment.set("TMPDIR", L"relative/tmp");
  EXPECT_EQ(expand(L"{TEMP}").text, L"/tmp");
  environment.unset("TMPDIR");
  EXPECT_EQ(expand(L"{TEMP}").text, L"/tmp");
  // The root alone is kept: removing its "/" would make the path relative.
  environment.set("TMPDIR", L"//");
  EXPECT_EQ(expand(L"{TEMP}").text, L"/");
  // Removal looks at the whole output and never passes its start.
  EXPECT_EQ(expand(L"x{TEMP}").text, L"x");
}

TEST(PathTemplate, HomeIsAnAbsoluteHomeOrElseThePasswordEntry) {
  test_support::ScopedEnvironment environment;
  environment.set("HOME", L"/home/zovari/");
  EXPECT_EQ(expand(L"{HOME}").text, L"/home/zovari");
  environment.set("HOME", L"not/absolute");
  EXPECT_EQ(expand(L"{HOME}").text, password_home());
  environment.unset("HOME");
  EXPECT_EQ(expand(L"{HOME}").text, password_home());
}

TEST(PathTemplate, CacheDirIsAnAbsoluteXdgCacheHomeOrElseHomeDotCache) {
  test_support::ScopedEnvironment environment;
  environment.set("HOME", L"/home/zovari");
  environment.set("XDG_CACHE_HOME", L"/var/cache/zovari/");
  EXPECT_EQ(expand(L"{CACHE_DIR}").text, L"/var/cache/zovari");
  environment.set("XDG_CACHE_HOME", L"cache");
  EXPECT_EQ(expand(L"{CACHE_DIR}").text, L"/home/zovari/.cache");
  environment.unset("XDG_CACHE_HOME");
  EXPECT_EQ(expand(L"{CACHE_DIR}/App/{VERSION}").text, L"/home/zovari/.cache/App/1.2.3");
  environment.set("HOME", L"/home/zovari//");
  EXPECT_EQ(expand(L"{CACHE_DIR}").text, L"/home/zovari/.cache");
  environment.set("HOME", L"/");
  EXPECT_EQ(expand(L"{CACHE_DIR}").text, L"/.cache");
  // Any legal path: its bound is the system's, not the Windows value buffer's.
  std::wstring deep;
  while (deep.size() < 3900) deep += L"/" + std::wstring(199, L'd');
  environment.set("HOME", deep);
  EXPECT_EQ(expand(L"{HOME}/App").text, deep + L"/App");
  environment.set("XDG_CACHE_HOME", deep);
  EXPECT_EQ(expand(L"{CACHE_DIR}/App").text, deep + L"/App");
}
#endif

TEST_F(RuntimeValues, RandomIsElevenCharactersSharedByEveryUse) {
  Expansion twice = expand(L"{RANDOM}-{random}");
  ASSERT_TRUE(twice.ok);
  ASSERT_EQ(twice.text.size(), 23u);
  std::wstring first = twice.text.substr(0, 11);
  EXPECT_EQ(twice.text, first + L"-" + first);
  for (wchar_t unit : first) {
    EXPECT_TRUE(iswalnum((wint_t)unit) || unit == L'-' || unit == L'_') << (int)unit;
  }
  EXPECT_EQ(variable("ZOVARI_ONEFILE_RANDOM"), first);
  EXPECT_EQ(expand(L"{RANDOM}").text, first);
}

TEST_F(RuntimeValues, InheritedValueIsUsedUnchangedAndNotExpanded) {
  environment_.set("ZOVARI_ONEFILE_RANDOM", L"{TEMP}");
  EXPECT_EQ(expand(L"a{RANDOM}b").text, L"a{TEMP}b");
  environment_.set("ZOVARI_ONEFILE_TIME_US", L"42");
  EXPECT_EQ(expand(L"{TIME_US}").text, L"42");
  environment_.set("ZOVARI_ONEFILE_START", L"not a number");
  EXPECT_EQ(expand(L"{TIME}").text, L"not a number");
}

TEST_F(RuntimeValues, EmptyValueCountsAsAbsent) {
  environment_.set("ZOVARI_ONEFILE_RANDOM", L"");
  std::wstring random = expand(L"{RANDOM}").text;
  EXPECT_EQ(random.size(), 11u);
  EXPECT_EQ(variable("ZOVARI_ONEFILE_RANDOM"), random);
}

TEST_F(RuntimeValues, TimeValuesAreDigitsAndPublished) {
  std::wstring micro = expand(L"{TIME_US}").text;
  EXPECT_EQ(micro.size(), 6u);
  EXPECT_TRUE(all_digits(micro)) << test_support::narrow(micro);
  EXPECT_EQ(variable("ZOVARI_ONEFILE_TIME_US"), micro);

  int64_t before = platform_system_time();
  std::wstring time = expand(L"{TIME}").text;
  ASSERT_TRUE(all_digits(time)) << test_support::narrow(time);
  EXPECT_EQ(time.size(), 18u);
  // Within a day of the clock read just before, in 100 ns since 1601.
  long long value = std::stoll(test_support::narrow(time));
  EXPECT_LT(llabs(value - before), 864000000000LL);
  EXPECT_EQ(variable("ZOVARI_ONEFILE_START"), time);
}

TEST_F(RuntimeValues, PidIsTheInheritedDigitsOrElseTheOwnId) {
  EXPECT_EQ(expand(L"{PID}").text, std::to_wstring(platform_process_id()));
  EXPECT_EQ(variable("ZOVARI_ONEFILE_PARENT"), L"<unset>");  // never published here
  environment_.set("ZOVARI_ONEFILE_PARENT", L"00123");
  EXPECT_EQ(expand(L"{PID}").text, L"00123");
  environment_.set("ZOVARI_ONEFILE_PARENT", L"12a");
  EXPECT_DEATH(expand(L"{PID}"), "");
}

TEST(RandomText, XorshiftFromSeedOneAndItsEncoding) {
  unsigned char bytes[8];
  xorshift_random_bytes(1, bytes);
  const unsigned char expected[8] = {0x21, 0x01, 0xC5, 0x4F, 0xD1, 0xD0, 0x1A, 0xB2};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(bytes[i], expected[i]) << "byte " << i;
  wchar_t text[12];
  wmemset(text, L'#', 12);
  encode_random_text(bytes, text);
  EXPECT_STREQ(text, L"IQHFT9HQGrI");

  unsigned char from_zero[8];
  xorshift_random_bytes(0, from_zero);
  EXPECT_EQ(memcmp(from_zero, bytes, 8), 0);
}

TEST(RandomText, EncodingUsesTheUrlAlphabetAndTheLastFourBits) {
  const unsigned char ones[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  wchar_t text[12];
  encode_random_text(ones, text);
  EXPECT_STREQ(text, L"__________8");
  const unsigned char mixed[8] = {0xFB, 0xEF, 0xBE, 0x00, 0x00, 0x00, 0x00, 0x01};
  encode_random_text(mixed, text);
  EXPECT_STREQ(text, L"----AAAAAAE");
}
