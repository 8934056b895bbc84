// The rules of payload names (pack/payloads/names.h), one row per case, the hostile
// and the boundary rows first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pack/payloads/names.h"
#include "tests/unit/pack/table.h"

using namespace zovari;

TEST(PackNames, ProblemOfAName) {
  struct Row {
    std::u16string name;
    bool windows;
    const char* problem;  // a piece of the problem's text; "" when none
    bool windows_only;
  };
  const Row rows[] = {
      {u"", false, "is empty", false},
      {u"\\a", false, "is absolute", false},
      {u"/a", false, "is absolute", false},
      {u"c:\\a", false, "drive letter", false},
      {u"Z:a", false, "drive letter", false},
      {u"a\\\\b", false, "empty component", false},
      {u"a/", false, "empty component", false},
      {u"a\\.\\b", false, "\".\" component", false},
      {u"a/..", false, "\"..\" component", false},
      {u"..", true, "\"..\" component", false},
      {u"a/b", true, "holds \"/\"", true},
      {u"a\\b:c", true, "holds \":\"", true},
      {u"1:a", true, "holds \":\"", true},
      {u"a\\b\x01", true, "control character \\x01", true},
      {u"d\\nul.tar.gz", true, "device name nul", true},
      {u"com\u00B9", true, "device name", true},
      {u"a\\x.\\b", true, "\"x.\", which ends in a dot", true},
      {u"a \\b", true, "ends in a space", true},
      // A part longer than file systems hold: units on Windows, UTF-8 bytes elsewhere.
      {std::u16string(1023, u'x'), false, "part of 1023 bytes", false},
      {u"a\\" + std::u16string(256, u'x'), true, "part of 256 UTF-16 units", true},
      {u"a\\" + std::u16string(128, u'\u00E9'), false, "part of 256 bytes", false},
      {u"a\\" + std::u16string(255, u'x') + u"\\b", true, "", false},
      {std::u16string(128, u'\u00E9'), true, "", false},
      // Fine: what is ruled out above only as a part of its own.
      {u"...", false, "", false},
      {u"a/b", false, "", false},
      {u"1:a", false, "", false},
      {u"a\\b:c", false, "", false},
      {u"con\\x", false, "", false},
      {u"dir\\.hidden\\..x\\x..y", true, "", false},
      {u"console\\nul_\\com10\\lpt0", true, "", false},
  };
  for (const Row& row : rows) {
    NameProblem problem = name_problem(row.name, row.windows);
    SCOPED_TRACE(display_name(row.name) + (row.windows ? " (windows)" : ""));
    pack_test::expect_problem(problem.text, row.problem);
    if (problem) EXPECT_EQ(problem.windows_only, row.windows_only);
  }
}

// One folder or file name as Windows reads it: devices with any extension,
// trailing dots and spaces.
TEST(PackNames, WindowsComponent) {
  const std::pair<std::u16string, const char*> rows[] = {
      // Windows ends the device's name at the first dot and drops the spaces before it.
      {u"CON.tar.gz", "device name CON"}, {u"nul .txt", "device name nul "},
      {u"aux   ", "device name"}, {u"Prn", "device name"}, {u"lPt9", "device name"},
      {u"COM1.", "device name"}, {u"com\u00B2", "device name"}, {u"LPT\u00B3.log", "device name"},
      {u"a.", "ends in a dot"}, {u"a ", "ends in a space"}, {u"a. ", "ends in a space"},
      {u"..", "ends in a dot"}, {u"COM0", ""}, {u"LPT10", ""}, {u"COM\u00B4", ""}, {u"CONX", ""},
      {u"CO", ""}, {u" CON", ""}, {u"x.CON", ""}, {u"NUL_", ""}, {u"con-1.txt", ""}, {u".a", ""},
      {u"a.b", ""}, {u"", ""}, {u"conin$", "device name"}, {u"CONOUT$.txt", "device name"}, {u"CONIN", ""},
  };
  for (const auto& [component, problem] : rows) {
    SCOPED_TRACE(display_name(component));
    pack_test::expect_problem(windows_component_problem(component), problem);
  }
}

// Every character Windows keeps out of names, and its neighbours that it allows.
TEST(PackNames, ReservedCharacters) {
  const std::pair<std::u16string, const char*> rows[] = {
      {u"a<b", "holds \"<\""},
      {u"a>b", "holds \">\""},
      {u"a\"b", "holds \"\"\""},
      {u"a|b", "holds \"|\""},
      {u"a?b", "holds \"?\""},
      {u"*", "holds \"*\""},
      {u"a:b", "holds \":\""},
      {std::u16string(1, u'\0'), "control character \\x00"},
      {u"\x1F", "control character \\x1F"},
      {u"a\tb", "control character \\x09"},
      {u"ok*<", "holds \"*\""},  // the first one counts
      {u"a b+c=d;e,f#g%h&i'j(k)l[m]n{o}p~q!r@s$t^u`v", ""},
      {u"\x7F\u0085\u00A0\u2028\uFF1F\uFE56", ""},  // not reserved: shown escaped elsewhere
      {u"\\/", ""},
      {u"", ""},
  };
  for (const auto& [text, problem] : rows) {
    SCOPED_TRACE(display_name(text));
    pack_test::expect_problem(reserved_character_problem(text), problem);
  }
}

// Two names that Windows folds to one file, script by script, at the ends of
// each range of the folding table; and names it keeps apart.
TEST(PackNames, CaseCollision) {
  struct Row {
    std::u16string a, b;
    bool collide;
  };
  const Row rows[] = {
      {u"A", u"a", true},
      {u"Z", u"z", true},
      {u"dir\\X", u"DIR/x", true},
      {u"\u00C0", u"\u00E0", true},  // À à
      {u"\u00D6", u"\u00F6", true},  // Ö ö
      {u"\u00D8", u"\u00F8", true},  // Ø ø
      {u"\u00DE", u"\u00FE", true},  // Þ þ
      {u"\u00D7", u"\u00F7", false},  // × ÷
      {u"\u00DF", u"\u00FF", false},  // ß ÿ
      {u"\u0100", u"\u0101", true},  // Ā ā
      {u"\u012E", u"\u012F", true},  // Į į
      {u"\u0130", u"\u0131", false},  // İ ı: neither is the other's capital
      {u"\u0132", u"\u0133", true},  // Ĳ ĳ
      {u"\u0136", u"\u0137", true},  // Ķ ķ
      {u"\u0137", u"\u0138", false},  // ķ ĸ
      {u"\u0139", u"\u013A", true},  // Ĺ ĺ
      {u"\u0147", u"\u0148", true},  // Ň ň
      {u"\u0148", u"\u0149", false},  // ň ŉ
      {u"\u014A", u"\u014B", true},  // Ŋ ŋ
      {u"\u0176", u"\u0177", true},  // Ŷ ŷ
      {u"\u0179", u"\u017A", true},  // Ź ź
      {u"\u017D", u"\u017E", true},  // Ž ž
      {u"\u017A", u"\u017B", false},  // ź Ż
      {u"\u0391", u"\u03B1", true},  // Α α
      {u"\u03A1", u"\u03C1", true},  // Ρ ρ
      {u"\u03A3", u"\u03C3", true},  // Σ σ
      {u"\u03A9", u"\u03C9", true},  // Ω ω
      {u"\u03AB", u"\u03CB", true},  // Ϋ ϋ
      {u"\u03AC", u"\u03CC", false},  // ά ό
      {u"\u0390", u"\u03B0", false},  // ΐ ΰ
      {u"\u0400", u"\u0450", true},  // Ѐ ѐ
      {u"\u040F", u"\u045F", true},  // Џ џ
      {u"\u0410", u"\u0430", true},  // А а
      {u"\u042F", u"\u044F", true},  // Я я
      {u"\u0430", u"\u0450", false},  // а ѐ
      {u"\u0410", u"A", false},  // Cyrillic А, Latin A
      {u"[", u"{", false},
      {u"@", u"`", false},
      // Windows drops the dots and spaces that end a part.
      {u"a", u"a ", true},
      {u"x.", u"X", true},
      {u"d. \\f", u"D\\F", true},
      {u".a", u"a", false},
      // The whole simple uppercase mapping of the basic plane, made from the
      // Unicode data: Latin-1's last, Latin Extended-B, digraphs with their
      // title case, Greek with tonos, Armenian, circled and full-width letters.
      {u"\u00FF", u"\u0178", true},  // ÿ Ÿ
      {u"\u0183", u"\u0182", true},  // ƃ Ƃ
      {u"\u01C6", u"\u01C4", true},  // ǆ Ǆ
      {u"\u01C5", u"\u01C6", true},  // ǅ ǆ
      {u"\u03AC", u"\u0386", true},  // ά Ά
      {u"\u03C2", u"\u03A3", true},  // ς Σ
      {u"\u0561", u"\u0531", true},  // ա Ա
      {u"\u24D0", u"\u24B6", true},  // ⓐ Ⓐ
      {u"\uFF41", u"\uFF21", true},  // ａ Ａ
      {u"\u1E01", u"\u1E00", true},  // ḁ Ḁ
      // Kept apart, as Windows keeps them.
      {u"\u00B5", u"\u039C", false},  // µ Μ
      {u"\u00B5", u"\u03BC", false},  // µ μ
      {u"\u00DF", u"\u1E9E", false},  // ß ẞ
      {u"\u0131", u"I", false},  // ı I
      {u"\u0131", u"i", false},  // ı i
      {u"\u017F", u"s", false},  // ſ s
      {u"\u017F", u"S", false},  // ſ S
      // Units alone: the planes beyond the basic one are not folded.
      {u"\U00010428", u"\U00010400", false},  // Deseret
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(display_name(row.a) + " / " + display_name(row.b));
    auto [first, second] = case_collision({u"main", row.a, row.b});
    EXPECT_EQ(!first.empty(), row.collide);
    if (row.collide) {
      EXPECT_EQ(first, row.a);
      EXPECT_EQ(second, row.b);
    }
  }
}

// Names in messages and listings: nothing in a name may move or hide the
// text around it.
TEST(PackNames, DisplayName) {
  const std::pair<std::u16string, std::string> rows[] = {
      {u"a\nb", "a\\x0Ab"},
      {u"\x1B[2J", "\\x1B[2J"},
      {u"\x7F", "\\x7F"},
      {u"\u0085\u009F", "\\u0085\\u009F"},
      {u"\u202Eexe.txt", "\\u202Eexe.txt"},
      {u"\u061C\u200E\u200F\u2028\u2029\u202A\u2066\u2069", "\\u061C\\u200E\\u200F\\u2028\\u2029\\u202A\\u2066\\u2069"},
      {std::u16string(1, (char16_t)0xD800) + u"x", "\\uD800x"},
      {u"x" + std::u16string(1, (char16_t)0xDFFF), "x\\uDFFF"},
      {std::u16string(2, (char16_t)0xDC00), "\\uDC00\\uDC00"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {u"\u00A0\u00E9\u20AC", "\xC2\xA0\xC3\xA9\xE2\x82\xAC"},
      {u"", ""},
  };
  for (const auto& [name, shown] : rows) EXPECT_EQ(display_name(name), shown);
}

// A name's place under the folder on Windows: the folder and the name
// joined as they stand, and the place checked to lie under the folder.
TEST(PackNames, WindowsPlace) {
  const std::u16string root = u"C:\\out";
  EXPECT_EQ(windows_join(root, u"x\\y.txt"), u"C:\\out\\x\\y.txt");
  EXPECT_EQ(windows_join(root, u"x\\C:users\\evil3.txt"), u"C:\\out\\x\\C:users\\evil3.txt");
  const std::pair<std::u16string, const char*> rows[] = {
      {u"C:\\out\\x\\C:users\\evil3.txt", "holds \":\""},
      {u"C:\\users\\evil.txt", "does not lie under"},
      {u"C:\\out2\\a", "does not lie under"},
      {u"C:\\out", "does not lie under"},
      {u"C:\\out\\", "does not lie under"},
      {u"C:\\out\\..\\a", "\"..\" component"},
      {u"C:\\out\\a\\\\b", "empty component"},
      {u"C:\\out\\nul", "device name"},
      {u"C:\\out\\a.\\b", "ends in a dot"},
      {u"C:\\out\\a/b", "holds \"/\""},
      {u"C:\\out\\a\\b.txt", ""},
  };
  for (const auto& [place, problem] : rows) {
    SCOPED_TRACE(display_name(place));
    pack_test::expect_problem(windows_place_problem(root, place), problem);
  }
}
