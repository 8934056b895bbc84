// The child's command line: quoting that the Windows splitter undoes, and
// the bound of 32767 units.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "launcher/command_line.h"
#include "launcher/command_line_for_tests.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "support/windows_split.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include "platform/win32_for_tests.h"
#endif

namespace {

wchar_t Line[COMMAND_LINE_CAPACITY];

std::wstring join(const std::vector<std::wstring>& arguments,
                  size_t capacity = COMMAND_LINE_CAPACITY) {
  std::vector<wchar_t*> pointers;
  for (const std::wstring& argument : arguments) pointers.push_back((wchar_t*)argument.c_str());
  wmemset(Line, L'#', COMMAND_LINE_CAPACITY);
  join_arguments(pointers.data(), (int)pointers.size(), Line, capacity);
  return Line;
}

// The text appended for one argument after a first one.
std::wstring quoted(const std::wstring& argument) {
  return join({L"x", argument}).substr(2);
}

std::vector<std::wstring> without_empty(const std::vector<std::wstring>& arguments) {
  std::vector<std::wstring> kept;
  for (const std::wstring& argument : arguments) {
    if (!argument.empty()) kept.push_back(argument);
  }
  return kept;
}

std::wstring random_argument(std::mt19937& generator) {
  static const wchar_t units[] = {L'a', L'b',  L' ',  L'\t', L'\n',   L'\v',  L'\r',
                                  L'\f', L'"', L'\\', L'\\', L'\x00e9', L'\x4e2d', L'/'};
  std::uniform_int_distribution<int> length(0, 12);
  std::uniform_int_distribution<size_t> pick(0, sizeof units / sizeof units[0] - 1);
  std::wstring argument;
  for (int n = length(generator); n > 0; --n) argument += units[pick(generator)];
  return argument;
}

}  // namespace

TEST(CommandLine, WorkedExamples) {
  EXPECT_EQ(quoted(L"report.txt"), L"report.txt");
  EXPECT_EQ(quoted(L"two words"), L"\"two words\"");
  EXPECT_EQ(quoted(L"C:\\Temp\\"), L"C:\\Temp\\");
  EXPECT_EQ(quoted(L"C:\\My Files\\"), L"\"C:\\My Files\\\\\"");
  EXPECT_EQ(quoted(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
  EXPECT_EQ(quoted(L"a\\\"b"), L"\"a\\\\\\\"b\"");
  EXPECT_EQ(quoted(L"a\\\\b c"), L"\"a\\\\b c\"");
  EXPECT_EQ(quoted(L"\""), L"\"\\\"\"");
  EXPECT_EQ(quoted(L""), L"");
}

TEST(CommandLine, WholeLineWithAnEmptyArgument) {
  EXPECT_EQ(join({L"D:\\Apps\\My Tool\\run.exe", L"--name", L"two words", L"", L"last"}),
            L"\"D:\\Apps\\My Tool\\run.exe\" --name \"two words\"  last");
  // A trailing empty argument leaves its separating space.
  EXPECT_EQ(join({L"run", L"a", L""}), L"run a ");
  EXPECT_EQ(join({}), L"");
}

TEST(CommandLine, OnlyFiveUnitsForceQuotes) {
  for (const wchar_t* forcing : {L"a b", L"a\tb", L"a\nb", L"a\vb", L"a\"b"}) {
    EXPECT_TRUE(argument_needs_quotes(forcing));
    EXPECT_EQ(quoted(forcing)[0], L'"');
  }
  EXPECT_FALSE(argument_needs_quotes(L"a\rb\fc"));
  EXPECT_EQ(quoted(L"a\rb\fc"), L"a\rb\fc");
  EXPECT_EQ(quoted(L"\\\\"), L"\\\\");
  EXPECT_EQ(quoted(L"\\\\ "), L"\"\\\\ \"");
  EXPECT_EQ(quoted(L"a b\\\\"), L"\"a b\\\\\\\\\"");
}

TEST(CommandLine, ExactlyTheBufferLessOneUnitIsAccepted) {
  std::wstring longest(32767, L'x');
  EXPECT_EQ(join({longest}), longest);
  // Quotes count too: 32765 units and a blank, quoted, make 32767.
  std::wstring spaced = std::wstring(32764, L'y') + L" ";
  EXPECT_EQ(join({spaced}).size(), 32767u);
  EXPECT_DEATH(join({longest + L"x"}), "");
  EXPECT_DEATH(join({std::wstring(32766, L'x'), L"a"}), "");
  EXPECT_DEATH(join({spaced + L"y"}), "");
}

TEST(CommandLine, AppendArgumentContinuesAfterTheText) {
  wchar_t buffer[16] = L"run";
  append_argument(buffer, L"a b", 16);
  EXPECT_STREQ(buffer, L"run\"a b\"");
  EXPECT_DEATH(append_argument(buffer, L"12345678", 16), "");
  append_argument(buffer, L"1234567", 16);
  EXPECT_STREQ(buffer, L"run\"a b\"1234567");
}

// The fixed arguments get the target directory for {TARGET_DIR}, in any case
// and as often as it stands, and nothing else: other braces, an unknown or
// unclosed name and a template token stay as written.  The list keeps its
// form, and one that passes the buffer, even by its closing NUL, aborts.
TEST(CommandLine, FixedArgumentsGetTheTargetDirectory) {
  auto expand = [](const std::wstring& fixed, const std::wstring& directory, size_t capacity) {
    std::vector<wchar_t> out(capacity + 8, L'#');
    expand_fixed_arguments(fixed.c_str(), directory.c_str(), out.data(), capacity);
    return std::wstring(out.data(), out.data() + capacity);
  };
  auto list = [](std::initializer_list<std::wstring> items) {
    std::wstring text;
    for (const std::wstring& item : items) text += item + L'\0';
    return text + L'\0';
  };
  const std::wstring fixed = list({L"{TARGET_DIR}/app.lua", L"-e", L"{target_dir}{Target_Dir}",
                                   L"{TARGET_DIR", L"{TEMP}/{}x}{"});
  const std::wstring expected = list({L"C:\\A b/app.lua", L"-e", L"C:\\A bC:\\A b",
                                      L"{TARGET_DIR", L"{TEMP}/{}x}{"});
  EXPECT_EQ(expand(fixed, L"C:\\A b", expected.size()), expected);
  EXPECT_DEATH(expand(fixed, L"C:\\A b", expected.size() - 1), "");
  EXPECT_EQ(expand(list({}), L"/t", 1), list({}));
}

// A real start: the arguments the system gave the program come back in the
// child's command line, with argument 0 replaced by the program's full path
// (here it was started under a bare name), the build's fixed arguments ("-m"
// and "two words") after it, and the empty one dropped.  A system that
// starts children from a vector has no line and no bound of its own.
TEST(CommandLine, ChildLineIsBuiltFromTheProgramsOwnArguments) {
  std::wstring runner = test_support::sibling_program(L"zovari-piece-runner");
  std::vector<std::wstring> arguments = {L"runner", L"cmdline", L"two words", L"",
                                         L"a\\\"b", L"C:\\My Files\\", L"last"};
  if (!PLATFORM_CHILD_TAKES_COMMAND_LINE) arguments.push_back(std::wstring(40000, L'x'));
  test_support::ChildResult result = test_support::run_program(runner, arguments);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::vector<std::wstring> expected = arguments;
  expected[0] = runner;
  expected.insert(expected.begin() + 1, {L"-m", L"two words"});
  std::string line = PLATFORM_CHILD_TAKES_COMMAND_LINE ? test_support::narrow(join(expected)) : "";
  std::string lines = "line=" + line + "\n";
  for (const std::wstring& argument : expected)
    lines += "arg=" + test_support::narrow(argument) + "\n";
  EXPECT_EQ(result.out, lines);
}

// The splitter the tests use on both systems, checked on lines that the
// joining code would never write.
TEST(WindowsSplitter, FollowsTheQuotingRules) {
  using V = std::vector<std::wstring>;
  EXPECT_EQ(test_support::split_windows_arguments(L"  a  b\t c "), (V{L"a", L"b", L"c"}));
  EXPECT_EQ(test_support::split_windows_arguments(L"a\\\\\\b"), (V{L"a\\\\\\b"}));
  EXPECT_EQ(test_support::split_windows_arguments(L"a\\\\\"b c\""), (V{L"a\\b c"}));
  EXPECT_EQ(test_support::split_windows_arguments(L"a\\\\\\\"b c"), (V{L"a\\\"b", L"c"}));
  EXPECT_EQ(test_support::split_windows_arguments(L"\"\" x"), (V{L"", L"x"}));
  EXPECT_EQ(test_support::split_windows_arguments(L"\"a\"\"b c\""), (V{L"a\"b", L"c"}));
  EXPECT_EQ(test_support::split_windows_arguments(L"\"\"\"a b"), (V{L"\"a", L"b"}));
  EXPECT_EQ(test_support::split_windows_arguments(L"\"a\nb\""), (V{L"a\nb"}));
}

TEST(CommandLine, RandomArgumentsSurviveTheWindowsSplitter) {
  std::mt19937 generator(20261207);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::wstring> arguments = {L"C:\\Program Files\\Zovari\\run.exe"};
    std::uniform_int_distribution<int> count(0, 6);
    for (int n = count(generator); n > 0; --n) arguments.push_back(random_argument(generator));
    std::wstring line = join(arguments);
    std::wstring tail = line.substr(line.find(L".exe\"") + 5);
    std::vector<std::wstring> expected(arguments.begin() + 1, arguments.end());
    ASSERT_EQ(test_support::split_windows_arguments(tail), without_empty(expected))
        << "line: " << test_support::narrow(line);
  }
}

#ifdef _WIN32
namespace {
std::vector<std::wstring> system_split(const std::wstring& line) {
  int count = 0;
  wchar_t** split = CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> arguments;
  for (int i = 0; i < count; ++i) arguments.push_back(split[i]);
  LocalFree(split);
  return arguments;
}
}  // namespace

TEST(CommandLine, SystemSplitterGivesTheArgumentsBack) {
  std::mt19937 generator(7122026);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::wstring> arguments = {L"C:\\Program Files\\Zovari\\run.exe"};
    std::uniform_int_distribution<int> count(0, 6);
    for (int n = count(generator); n > 0; --n) arguments.push_back(random_argument(generator));
    std::wstring line = join(arguments);
    ASSERT_EQ(system_split(line), without_empty(arguments))
        << "line: " << test_support::narrow(line);
  }
}

// Any line at all, not just joined ones: the test splitter and the system's
// agree on every argument after the first.
TEST(WindowsSplitter, AgreesWithTheSystemOnRandomLines) {
  static const wchar_t units[] = {L'a', L' ', L'\t', L'"', L'"', L'\\', L'\\', L'b'};
  std::mt19937 generator(3);
  std::uniform_int_distribution<size_t> pick(0, sizeof units / sizeof units[0] - 1);
  std::uniform_int_distribution<int> length(0, 16);
  for (int round = 0; round < 3000; ++round) {
    std::wstring tail;
    for (int n = length(generator); n > 0; --n) tail += units[pick(generator)];
    std::vector<std::wstring> system = system_split(L"run.exe " + tail);
    system.erase(system.begin());
    ASSERT_EQ(test_support::split_windows_arguments(tail), system)
        << "tail: [" << test_support::narrow(tail) << "]";
  }
}

// The launcher splits a plain command line itself, so that shell32 need not
// be loaded at every start; whatever it takes as plain, it must split as the
// system does, and a line with quotes behind the program is never plain.
TEST(CommandLine, PlainLinesSplitAsTheSystemSplitsThem) {
  struct Row {
    const wchar_t* line;
    bool plain;
  };
  const Row rows[] = {{L"run.exe", true},
                      {L"\"C:\\Program Files\\run.exe\" a\\b  c\\\\ \td ", true},
                      {L"\"\" x", true},
                      {L"\"C:\\a b\"x y", false},   // text right behind the closing quote
                      {L"\"C:\\a b", false},         // no closing quote
                      {L"C:\\a\"b c", false},        // a quote inside an unquoted program
                      {L"run.exe \"a b\"", false},
                      {L"run.exe a\\\"b", false},
                      {L" run.exe", false},
                      {L"", false},
                      {L"run.exe a\nb", false}};
  auto check = [](const std::wstring& line, bool* plain) {
    wchar_t** arguments = nullptr;
    int count = 0;
    *plain = split_plain_command_line(line.c_str(), &arguments, &count);
    if (!*plain) return;
    std::vector<std::wstring> ours(arguments, arguments + count);
    EXPECT_EQ(arguments[count], nullptr);
    EXPECT_EQ(ours, system_split(line)) << "line: [" << test_support::narrow(line) << "]";
  };
  for (const Row& row : rows) {
    bool plain = false;
    check(row.line, &plain);
    EXPECT_EQ(plain, row.plain) << "line: [" << test_support::narrow(row.line) << "]";
  }
  static const wchar_t units[] = {L'a', L' ', L' ', L'\t', L'"', L'\\', L'b', L'\n'};
  std::mt19937 generator(8122026);
  std::uniform_int_distribution<size_t> pick(0, sizeof units / sizeof units[0] - 1);
  std::uniform_int_distribution<int> length(1, 14);
  int plain_lines = 0;
  for (int round = 0; round < 3000; ++round) {
    std::wstring line;
    for (int n = length(generator); n > 0; --n) line += units[pick(generator)];
    bool plain = false;
    check(line, &plain);
    plain_lines += plain ? 1 : 0;
  }
  EXPECT_GT(plain_lines, 100);
}
#endif
