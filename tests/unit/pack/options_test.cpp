// The tool's command line (pack/commands/arguments.h), its number options
// (pack/commands/options.h) and --exclude (pack/payloads/exclude.h), hostile rows first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pack/commands/arguments.h"
#include "pack/commands/options.h"
#include "pack/payloads/names.h"
#include "pack/payloads/exclude.h"

using namespace zovari;

TEST(PackArguments, CommandLine) {
  const std::vector<OptionDefinition> options = {
      {"input", true}, {"exclude", true, 0, true}, {"quiet", false, 'q'}, {"verbose", false, 'v'}};
  struct Row {
    std::vector<std::string> args;
    size_t positional_count;
    const char* problem;  // a piece of the usage error; "" when none
    const char* parsed;   // what was parsed: input=..., exclude=a|b, quiet, positional <...>, help
  };
  const Row rows[] = {
      {{"--input"}, 0, "option --input needs a value", ""},
      {{"--bogus"}, 0, "unknown option --bogus", ""},
      {{"--=x"}, 0, "unknown option --", ""},
      {{"-x"}, 0, "unknown option -x", ""},
      {{"-qv"}, 0, "", "quiet verbose"},
      {{"--quiet=1"}, 0, "option --quiet takes no value", ""},
      {{"--input", "a", "--input=b"}, 0, "option --input given twice", ""},
      {{"-q", "--quiet"}, 0, "option --quiet given twice", ""},
      {{"a", "b"}, 1, "unexpected argument \"b\"", ""},
      {{}, 1, "missing argument (", ""},
      {{"a"}, 3, "missing arguments", ""},
      {{"--input", "--quiet"}, 0, "", "input=--quiet"},
      {{"--input="}, 0, "", "input="},
      {{"--input=a=b"}, 0, "", "input=a=b"},
      {{"--exclude", "a", "--exclude=b"}, 0, "", "exclude=a|b"},
      {{"-q", "-v"}, 0, "", "quiet verbose"},
      {{"--", "-x", "--input"}, 2, "", "positional <-x><--input>"},
      {{"-", "x"}, 2, "", "positional <-><x>"},
      {{"--bogus", "--help"}, 0, "unknown option --bogus", ""},
      {{"--help", "--bogus"}, 0, "", "help"},
      {{"-h"}, 5, "", "help"},
  };
  for (const Row& row : rows) {
    std::string trace;
    for (const std::string& arg : row.args) trace += "[" + arg + "]";
    SCOPED_TRACE(trace);
    try {
      Arguments args("test", row.args, options, row.positional_count);
      std::string parsed;
      if (args.help()) parsed = "help";
      if (args.has("input")) parsed += "input=" + args.get("input");
      for (const std::string& value : args.all("exclude")) parsed += (parsed.empty() ? "exclude=" : "|") + value;
      for (const char* flag : {"quiet", "verbose"}) {
        if (args.has(flag)) parsed += (parsed.empty() ? "" : " ") + std::string(flag);
      }
      if (!args.positional().empty() && !args.help()) {
        parsed += "positional ";
        for (const std::string& arg : args.positional()) parsed += "<" + arg + ">";
      }
      EXPECT_STREQ(row.problem, "");
      EXPECT_EQ(parsed, row.parsed);
    } catch (const UsageError& error) {
      EXPECT_NE(row.problem[0], 0) << error.what();
      EXPECT_NE(std::string(error.what()).find(row.problem), std::string::npos) << error.what();
      EXPECT_NE(std::string(error.what()).find("(see zovari-pack test --help)"), std::string::npos);
    }
  }
  // A required option given empty is missing.
  Arguments empty("test", {"--input="}, options, 0);
  EXPECT_THROW(empty.required("input"), UsageError);
}

// Whole-number options (--level, --jobs): all of the text is the number.
TEST(PackNumberOption, WholeTextInRange) {
  const std::pair<std::string, int> rows[] = {
      {"19x", -1}, {"19 ", -1}, {"1.5", -1}, {"1e1", -1}, {"0x10", -1}, {"0", -1}, {"23", -1},
      {"-1", -1}, {"99999999999", -1}, {"x", -1}, {"1", 1}, {"22", 22}, {"019", 19}, {"", 19},
  };
  for (const auto& [text, value] : rows) {
    SCOPED_TRACE("--level \"" + text + "\"");
    Arguments args("build", {"--level", text}, {{"level", true}}, 0);
    try {
      EXPECT_EQ(parse_number(args, "level", 19, 1, 22), value);
    } catch (const UsageError& error) {
      EXPECT_EQ(value, -1) << error.what();
      EXPECT_EQ(std::string(error.what()), "--level must be a number from 1 to 22, not \"" + text + "\"");
    }
  }
}

// --exclude: a pattern with a "/" is a glob over the entry's whole path,
// one without over its own name, a leading "/" anchors it at the top; the
// walk asks about each folder before what it holds.
TEST(PackExclude, Patterns) {
  struct Row {
    const char* pattern;
    const char* relative;
    bool excluded;
  };
  const Row rows[] = {
      {"/node_modules", "a/node_modules", false}, {"/", "a", false}, {"//", "a", false},
      {"/node_modules", "node_modules", true}, {"/node_modules/", "node_modules", true},
      {"/*.md", "a.md", true}, {"/./docs", "docs", true},
      {"__pycache__", "a/__pycache__", true}, {"__pycache__", "__pycache__", true},
      {"*.pdb", "bin/x.pdb", true}, {"bin/*.pdb", "bin/x.pdb", true},
      {"lib/python3.11/email", "lib/python3.11/email", true}, {"lib/email/", "lib/email", true},
      {"./docs/*.md", "docs/a.md", true}, {"caf\xC3\xA9", "x/caf\xC3\xA9", true},
      {"bin/*.pdb", "lib/bin/x.pdb", false}, {"*.pdb", "bin/x.pdbx", false}, {"a", "ab", false},
      {"b", "a/b/c", false}, {"x.pdb", "bin/x.pdb/", false}, {"", "a", false}, {"./", "a", false},
      // Names that are not UTF-8 are matched byte for byte.
      {"*.tmp", "d/caf\xE9.tmp", true}, {"caf?.tmp", "caf\xE9.tmp", true}, {"caf\xE9*", "caf\xE9\xFF", true},
      {"caf?", "caf\xC3\xA9", true}, {"caf??", "caf\xC3\xA9", false}, {"caf?", "caf\xE9\xFF", false},
      // A "*" goes back only as far as it must, and finds the match that is there.
      {"*a*a*b", "aaaaaaaaaaab", true}, {"*a*a*b", "aaaaaaaaaaa", false}, {"a*b*c", "axbxbxc", true},
      {"*ab", "aab", true}, {"*[ab]c", "xxbbc", true}, {"*?x", "x", false}, {"*\\**", "a*b", true},
      {"a*", "a", true}, {"*a", "ba", true}, {"*a", "ab", false}, {"a**", "a", true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(exclude_pattern_matches(row.pattern, row.relative), row.excluded)
        << row.pattern << " on " << row.relative;
  }
}
