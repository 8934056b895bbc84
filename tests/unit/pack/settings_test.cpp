// The rules a launcher's values must pass before anything is built
// (pack/executables/launcher_build.h, pack/executables/resources.h): versions, the path template
// (absolute starts, room in the launcher's path buffer, build values in the
// path), the defaults taken from the main binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pack/system/error.h"
#include "pack/executables/launcher_build.h"
#include "pack/payloads/names.h"
#include "pack/executables/resources.h"
#include "tests/unit/pack/table.h"

using namespace zovari;

namespace {

// The head of an x86-64 ELF executable: all that complete_settings reads.
std::string elf_program() {
  std::string head(64, '\0');
  head.replace(0, 4, "\x7f" "ELF");
  head[4] = 2;  // 64-bit
  head[5] = 1;  // little-endian
  pack_test::put(head, 16, 2, 2);   // ET_EXEC
  pack_test::put(head, 18, 62, 2);  // x86-64
  return head;
}
const std::string ELF = elf_program();

// The first bytes of a console PE program: all that complete_settings reads.
std::string pe_program() {
  std::string head(0x40 + 96, '\0');
  head.replace(0, 2, "MZ");
  pack_test::put(head, 0x3C, 0x40, 4);
  head.replace(0x40, 4, std::string("PE\0\0", 4));
  pack_test::put(head, 0x44, 0x8664, 2);      // x86-64
  pack_test::put(head, 0x44 + 16, 240, 2);    // the optional header's size
  pack_test::put(head, 0x44 + 18, 0x0022, 2); // an executable image, no DLL
  pack_test::put(head, 0x58, 0x20B, 2);       // PE32+
  pack_test::put(head, 0x58 + 68, 3, 2);      // console
  return head;
}

struct Case {
  std::string target;  // as --target gives it; empty: the main binary's
  std::string path_template;
  std::vector<std::u16string> names;
  std::string head;  // the main binary's first bytes
  std::string product, company, version;
  std::vector<std::string> arguments;  // --arg
  std::string description, copyright;
};

// The refusal complete_settings gives, or "" when it accepts; *settings as it left them.
std::string refusal(const Case& c, LauncherSettings* settings = nullptr) {
  LauncherSettings s;
  s.target = c.target;
  s.path_template = c.path_template;
  s.main_sample.add(c.head.data(), c.head.size());
  s.product = c.product;
  s.company = c.company;
  s.version = c.version;
  s.fixed_arguments = c.arguments;
  s.description = c.description;
  s.copyright = c.copyright;
  // Every rule comes before the runtime image is read: one that is not there
  // is the sign that all of them passed.
  s.runtime = "/nonexistent/zovari-pack-unit-runtime";
  try {
    complete_settings(s, c.names);
  } catch (const PackError& error) {
    const std::string text = error.what();
    if (text.find("/nonexistent/zovari-pack-unit-runtime") == std::string::npos) return text;
  }
  if (settings != nullptr) *settings = s;
  return std::string();
}

Case linux_case(const std::string& path_template) { return {"", path_template, {u"app"}, ELF, "App", "Co", "1.0"}; }
Case windows_case(const std::string& path_template) {
  return {"", path_template, {u"app.exe"}, pe_program(), "App", "Co", "1.0"};
}

void expect_refusal(const std::string& what, const Case& c, const char* expected) {
  SCOPED_TRACE(what + ": " + c.path_template);
  pack_test::expect_problem(refusal(c), expected);
}

}  // namespace

TEST(PackVersion, Numbers) {
  const std::pair<std::string, std::vector<unsigned>> rows[] = {
      {"1.2.3.4.5", {}}, {"1.2.", {}}, {"1.2.3.4.", {}}, {".1", {}}, {"1..2", {}}, {".", {}},
      {"", {}}, {"65536", {}}, {"1.99999", {}}, {"000001", {}}, {"1.2a", {}}, {"-1", {}},
      {"+1", {}}, {" 1", {}}, {"1 ", {}}, {"0x10", {}}, {"1,2", {}},
      {"65535.65535.65535.65535", {65535, 65535, 65535, 65535}},
      {"00001.0", {1, 0}},
      {"1.2.3.4", {1, 2, 3, 4}},
      {"7", {7}},
  };
  for (const auto& [text, numbers] : rows) EXPECT_EQ(parse_version(text), numbers) << "\"" << text << "\"";
}

TEST(PackVersion, FourParts) {
  struct Row {
    std::string version;
    bool leading;
    const char* result;  // "" when refused
  };
  const Row rows[] = {
      {"1.2.3.4.5", false, ""}, {"1.2.3.4.5-rc", true, ""}, {"1.2.", false, ""}, {"beta", true, ""},
      {"-1", true, ""}, {"", true, ""}, {"1.2.-x", true, "1.2.0.0"},
      {"1.2.3-beta", true, "1.2.3.0"}, {"2..3", true, ""}, {"3.x", true, "3.0.0.0"},
      {"1.2.3.4", false, "1.2.3.4"}, {"9", false, "9.0.0.0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.version + (row.leading ? " (leading numbers)" : ""));
    try {
      EXPECT_EQ(four_part_version(row.version, "--version", row.leading), row.result);
    } catch (const PackError& error) {
      EXPECT_STREQ(row.result, "") << error.what();
      EXPECT_NE(std::string(error.what()).find("--version \"" + row.version + "\""), std::string::npos);
    }
  }
}

TEST(PackTemplate, Tokens) {
  const std::pair<std::string, const char*> rows[] = {
      {"", "is empty"},
      {"{CACHE_DIR}/{PRODUCT", "never closed"},
      {"{CACHE_DIR}/{", "never closed"},
      {"{CACHE_DIR}\\{PRODUCT\\{VERSION}", "never closed (\"{PRODUCT\\\")"},
      {"{A{TEMP}", "never closed"},
      {"{CACHE_DIR}/{NOPE}", "unknown token {NOPE}"},
      {"{}", "unknown token {}"},
      {"{CACHE_DIR}/{" + std::string(2000, 'A') + "}", "unknown token"},
      {std::string("/\xff"), "not valid UTF-8"},
      {"{cache_dir}/{Product}/}", ""},
      {"{HOME}{TEMP}{PROGRAM}{PROGRAM_DIR}{COMPANY}{VERSION}{FILE_VERSION}{PRODUCT_VERSION}", ""},
  };
  for (const auto& [path_template, problem] : rows) {
    SCOPED_TRACE(path_template);
    try {
      check_path_template(path_template);
      EXPECT_STREQ(problem, "");
    } catch (const PackError& error) {
      EXPECT_NE(problem[0], 0) << error.what();
      EXPECT_NE(std::string(error.what()).find(problem), std::string::npos) << error.what();
    }
  }
}

// A template may give a relative path (the tool warns of it), but "\" is no
// separator on Linux, and on Windows its own text must make folder names
// that a Windows path can hold, after a drive or a share named in full.
TEST(PackTemplate, Starts) {
  struct Row {
    bool windows;
    std::string path_template;
    const char* problem;
  };
  const Row rows[] = {
      {false, "{CACHE_DIR}\\x", "no separator on Linux"},
      {false, "x/y", ""},
      {false, "C:/x", ""},
      {false, "{COMPANY}/x", ""},
      {true, "\\x", ""},
      {true, "/x", ""},
      {true, "C:x", ""},
      {true, "C:", ""},
      {true, "1:\\x", "holds \":\""},
      {true, ":\\x", "holds \":\""},
      {true, "x\\C:\\y", "holds \":\""},
      {true, "{PRODUCT}\\x", ""},
      {true, "{VERSION}", ""},
      {true, "..\\x\\.\\{VERSION}", ""},
      {true, "{CACHE_DIR}\\a*b\\x", "holds \"*\""},
      {true, "{CACHE_DIR}\\a?\\x", "holds \"?\""},
      {true, "C:\\CON\\x", "device name CON"},
      {true, "C:\\nul.txt", "device name nul"},
      {true, "C:\\x \\y", "ends in a space"},
      {true, "C:\\x.", "ends in a dot"},
      {true, "\\\\", "names no server and share"},
      {true, "\\\\server", "names no server and share"},
      {true, "\\\\server\\", "names no server and share"},
      {true, "\\\\\\share\\x", "names no server and share"},
      {true, "\\\\{PRODUCT}\\share\\x", "names no server and share"},
      {true, "\\\\?\\C:\\x", "device path"},
      {true, "//./pipe/x", "device path"},
      {false, "/x", ""},
      {false, "//x", ""},
      {false, "/a*b/CON/x ", ""},
      {false, "{HOME}/x", ""},
      {false, "{CACHE_DIR}", ""},
      {true, "C:\\x", ""},
      {true, "z:/x", ""},
      {true, "\\\\server\\share\\x", ""},
      {true, "//server/share", ""},
      {true, "\\\\server\\c$\\{VERSION}", ""},
      {true, "{TEMP}\\x", ""},
      {true, "{program_dir}", ""},
      {true, "{PROGRAM}.d", ""},
      {true, "{HOME}\\x", ""},
  };
  for (const Row& row : rows) {
    expect_refusal(row.windows ? "windows" : "linux",
                   row.windows ? windows_case(row.path_template) : linux_case(row.path_template), row.problem);
  }
}

// The template's fixed part, a separator and the longest name must fit the
// launcher's path buffer (4095 characters and its terminating 0): characters
// are UTF-16 units on Windows and code points on Linux.
// A name of count units in parts of 255, the most a file system holds.
std::u16string long_parts(size_t count) {
  std::u16string name;
  for (size_t part = 0; name.size() < count; ++part) {
    if (part > 0) name += u'/';
    name += std::u16string(std::min<size_t>(255, count - name.size()), u'n');
  }
  return name;
}

TEST(PackTemplate, Room) {
  const std::string smile = "\xF0\x9F\x98\x80";  // one code point, two UTF-16 units
  struct Row {
    const char* what;
    Case c;
    const char* problem;
  };
  const Row rows[] = {
      {"fixed part, separator and name one over", linux_case("/" + std::string(4091, 'a')),
       "pass the 4095 characters"},
      {"fixed part alone over", linux_case("/" + std::string(4095, 'a')), "fixed part is 4096 characters"},
      {"a value makes it one over", [&] { Case c = linux_case("/" + std::string(4089, 'a') + "{PRODUCT}"); c.product = "ab"; return c; }(),
       "pass the 4095 characters"},
      {"a long name makes it one over", [] { Case c = linux_case("/" + std::string(3001, 'a')); c.names.push_back(u"d/" + long_parts(1091)); return c; }(),
       "longest name (1093)"},
      {"units on Windows", windows_case("C:\\" + std::string(4083, 'a') + smile), "pass the 4095 characters"},
      {"exactly full", linux_case("/" + std::string(4090, 'a')), ""},
      {"exactly full with a value", [&] { Case c = linux_case("/" + std::string(4088, 'a') + "{PRODUCT}"); c.product = "ab"; return c; }(), ""},
      {"code points on Linux", linux_case("/" + std::string(4089, 'a') + smile), ""},
      {"units on Windows, exactly full", windows_case("C:\\" + std::string(4082, 'a') + smile), ""},
      {"run-time values take no room here", linux_case("{HOME}" + std::string(4000, 'a') + "{TEMP}{PROGRAM_DIR}"), ""},
  };
  for (const Row& row : rows) expect_refusal(row.what, row.c, row.problem);
}

// Build values that go into the path go into one folder name.
TEST(PackTemplate, ValuesInThePath) {
  struct Row {
    const char* what;
    Case c;
    const char* problem;
  };
  auto linux_product = [](const std::string& product) {
    Case c = linux_case("{CACHE_DIR}/{PRODUCT}/x");
    c.product = product;
    return c;
  };
  auto windows_values = [](const std::string& product, const std::string& version) {
    Case c = windows_case("{CACHE_DIR}\\{PRODUCT}{VERSION}\\x");
    c.product = product;
    c.version = version;
    return c;
  };
  const Row rows[] = {
      {"the folder .", linux_product("."), "--product \".\" would be the folder \".\""},
      {"the folder ..", linux_product(".."), "would be the folder \"..\""},
      {"a slash", linux_product("a/b"), "holds a path separator"},
      {"a backslash", linux_product("a\\b"), "holds a path separator"},
      {"a colon", linux_product("a:b"), "holds \":\""},
      {"a star", linux_product("a*"), "holds \"*\""},
      {"a control character", linux_product("a\nb"), "control character"},
      {"not UTF-8", linux_product("\xC3"), "--product is not valid UTF-8"},
      {"an empty value", [] { Case c = linux_case("{CACHE_DIR}/{COMPANY}"); c.company = ""; return c; }(),
       "uses {COMPANY}, but --company is empty"},
      {"a device name made of two values", windows_values("NUL", ".txt"), "which is the Windows device name"},
      {"a trailing dot made of two values", windows_values("App", "1."), "ends in a dot"},
      {"a trailing space", windows_values("App", "1 "), "ends in a space"},
      {"a value next to a literal dot", [] { Case c = windows_case("C:\\{PRODUCT}."); return c; }(), "ends in a dot"},
      {"a device name on Linux", [] { Case c = linux_case("/{PRODUCT}"); c.product = "CON"; return c; }(), ""},
      {"three dots", linux_product("..."), ""},
      {"a dot inside", linux_product("a.b"), ""},
      {"a value the path does not hold", [] { Case c = linux_case("/x/{VERSION}"); c.product = "."; c.company = "a/b"; return c; }(), ""},
      {"a literal device folder: no Windows path holds it", windows_case("C:\\CON\\{PRODUCT}"), "device name CON: no Windows path"},
  };
  for (const Row& row : rows) expect_refusal(row.what, row.c, row.problem);
}

// What a launcher takes from its main binary when no option says otherwise.
TEST(PackSettings, FromTheMainBinary) {
  struct Row {
    Case c;
    const char* problem;
    const char* target;
    const char* product;
  };
  auto main_named = [](const std::u16string& name, const std::string& head) {
    Case c{"", "", {name}, head, "", "", "1.0"};
    return c;
  };
  const Row rows[] = {
      {main_named(u"readme.txt", "MZ"), "neither a Windows program (PE) nor a Linux one", "", ""},
      {main_named(u"app.bat", "@echo off"), "neither a Windows program", "", ""},
      {[] { Case c{"linux", "", {u"app.exe"}, pe_program(), "", "", "1"}; return c; }(), "does not fit the main binary", "", ""},
      {[] { Case c{"windows", "", {u"app"}, ELF, "", "", "1"}; return c; }(), "does not fit the main binary", "", ""},
      {[] { Case c{"macos", "", {u"app"}, ELF, "", "", "1"}; return c; }(), "must be windows or linux", "", ""},
      {[] { Case c{"", "", {}, ELF, "", "", "1"}; return c; }(), "holds no files", "", ""},
      {[] { Case c{"", "", {u"App", u"app"}, pe_program(), "", "", "1"}; return c; }(), "differ only in case", "", ""},
      {[] { std::string object = ELF; object[16] = 1; Case c{"", "", {u"lib\\app.o"}, object, "", "", "1"}; return c; }(),
       "the main binary \"lib/app.o\" is no program a Linux launcher can start", "", ""},
      {[] { Case c{"", "", {u"app", u"a\\b", u"a\\b"}, ELF, "", "", "1"}; return c; }(), "the name \"a/b\" twice", "", ""},
      {[] { Case c{"", "", {u"app.exe"}, pe_program(), "", "", "1.2.3.4.5"}; return c; }(), "--version \"1.2.3.4.5\"", "", ""},
      {main_named(u"bin\\tool.v2.exe", pe_program()), "", "windows", "tool.v2"},
      {main_named(u"bin.d\\tool", ELF), "", "linux", "tool"},
      {main_named(u"run.sh", "#!/bin/sh\n"), "", "linux", "run"},
      {main_named(u".hidden", ELF), "", "linux", ".hidden"},
      {main_named(u"a..b", ELF), "", "linux", "a."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(display_name(row.c.names.empty() ? u"" : row.c.names[0]));
    LauncherSettings s;
    pack_test::expect_problem(refusal(row.c, &s), row.problem);
    if (row.problem[0] != 0) continue;
    EXPECT_EQ(s.target, row.target);
    EXPECT_EQ(s.product, row.product);
    // With --version the default folder's name waits for the payload's digest.
    EXPECT_EQ(s.path_template, s.target == "windows" ? "{CACHE_DIR}\\{PRODUCT}\\{VERSION}-00000000"
                                                     : "{CACHE_DIR}/{PRODUCT}/{VERSION}-00000000");
    EXPECT_TRUE(s.digest_in_template);
  }
}

// Text a launcher could not use is refused when it is built: a version
// record's value is one line, and the fixed arguments leave room on a Windows
// command line (20478 units, quoted, each {TARGET_DIR} at 4095) for the
// launcher's own.
TEST(PackSettings, TextValues) {
  struct Row {
    const char* what;
    Case c;
    const char* problem;
  };
  auto windows = [](std::vector<std::string> arguments, std::string description = "", std::string company = "Co") {
    Case c = windows_case("C:\\x");
    c.arguments = std::move(arguments);
    c.description = std::move(description);
    c.company = std::move(company);
    return c;
  };
  const std::string target_dir = "{TARGET_DIR}";
  const Row rows[] = {
      {"a line feed in the description", windows({}, "one\ntwo"), "FileDescription holds the control character U+000A"},
      {"an escape in the company", windows({}, "", "Acme\x1b[2J"), "CompanyName holds the control character U+001B"},
      {"a C1 control in the copyright", [&] { Case c = windows({}); c.copyright = "\xC2\x85"; return c; }(), "U+0085"},
      {"a line separator in the description", windows({}, "one\u2028two"), "FileDescription holds U+2028, which breaks"},
      {"a paragraph separator in the company", windows({}, "", "Acme\u2029"), "CompanyName holds U+2029"},
      {"a right-to-left override in the company", windows({}, "", "Acme\u202Eexe.txt"), "CompanyName holds U+202E"},
      {"a zero-width space in the description", windows({}, "a\u200Bb"), "FileDescription holds U+200B"},
      {"a byte order mark in the description", windows({}, "\uFEFFa"), "holds U+FEFF"},
      {"letters beyond Latin and a no-break space", windows({}, "\u00A0\u00E9\u4E2D \U0001F600"), ""},
      {"an argument of 40000", windows({std::string(40000, 'a')}), "take 40001 characters"},
      {"one over the room", windows({std::string(20478, 'a')}), "take 20479"},
      {"quoting counts", windows({std::string(20467, 'a') + " \\\\\"\\"}), "take 20479"},
      {"five target folders, in any case", windows({target_dir, "{target_dir}", target_dir, target_dir, target_dir}), "take 20490"},
      {"exactly the room", windows({std::string(20477, 'a')}), ""},
      {"quoted, exactly the room", windows({std::string(20466, 'a') + " \\\\\"\\"}), ""},
      {"four target folders", windows({target_dir + "\\a b", target_dir, target_dir, target_dir + "x"}), ""},
      {"a tab and a line feed in an argument", windows({"a\tb\nc"}), ""},
      {"Linux has no such room", [] { Case c = linux_case("/x"); c.arguments = {std::string(40000, 'a')}; c.description = "one\ntwo"; return c; }(), ""},
  };
  for (const Row& row : rows) expect_refusal(row.what, row.c, row.problem);
}

TEST(PackSettings, WindowsQuotedLength) {
  const std::pair<std::u16string, size_t> rows[] = {
      {u"", 0}, {u"a\\b\\", 4}, {u"a b\\", 7}, {u"\\\\\"", 8}, {u"\"", 4}, {u"a\vb", 5},
      {u"a\\\\b c", 8},
  };
  for (const auto& [argument, length] : rows) EXPECT_EQ(windows_quoted_length(argument), length) << display_name(argument);
}
