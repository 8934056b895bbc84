// Directory creation and the known-directory table.  The table lives for the
// whole process, so each case runs in a fresh zovari-probe.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

  zt::ChildResult steps(const std::vector<std::wstring>& list) {
    std::wstring probe = zt::sibling_program(L"zovari-probe");
    std::vector<std::wstring> arguments = {probe, L"dirs"};
    arguments.insert(arguments.end(), list.begin(), list.end());
    return zt::run_program(probe, arguments);
  }

  zt::TempDir folder_;
};

}  // namespace

TEST_F(Directories, ClimbFindsTheFirstExistingLevelAndCreatesDownward) {
  zt::ChildResult result = steps({L"p:" + path(L"a/b/c/file"), L"n"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(zt::directory_exists(path(L"a/b/c")));
  EXPECT_FALSE(zt::file_exists(path(L"a/b/c/file")));
  // The profile folder and the three created: the climb ended at "a", whose
  // parent was there, so the parent itself never needed asking.
  EXPECT_EQ(result.out, "known=4\n");
}

TEST_F(Directories, KnownDirectoriesCostNoSystemCall) {
  // a/b is removed behind the table's back: a second file there does not
  // bring it back, since the table says it exists.
  zt::ChildResult result = steps({L"p:" + path(L"a/b/one"), L"n", L"rmdir:" + path(L"a/b"),
                                  L"p:" + path(L"a/b/two"), L"n"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "known=3\nknown=3\n");
  EXPECT_FALSE(zt::directory_exists(path(L"a/b")));
  EXPECT_TRUE(zt::directory_exists(path(L"a")));
}

TEST_F(Directories, RegularFileCountsAsAnExistingDirectory) {
  ASSERT_TRUE(zt::write_file(path(L"plain"), "x"));
  zt::ChildResult result = steps({L"d:" + path(L"plain"), L"p:" + path(L"plain/inner/file")});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "d=1\n");
  EXPECT_TRUE(zt::file_exists(path(L"plain")));
}

TEST_F(Directories, PathsWithoutAParentCreateNothing) {
  std::wstring root_only = std::wstring(1, PLATFORM_SEPARATOR) + L"zovari-no-parent";
  zt::ChildResult result = steps({L"p:", L"p:" + root_only, L"p:nameonly", L"n"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // Not even the profile folder: the table was never consulted.
  EXPECT_EQ(result.out, "known=0\n");
}

TEST_F(Directories, TableStopsAt1024EntriesAndCreationGoesOn) {
  zt::ChildResult result =
      steps({L"fill:" + folder_.path() + L":1025", L"n", L"d:" + path(L"d1024"), L"n"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "created=1025\nknown=1024\nd=1\nknown=1024\n");
  for (const wchar_t* name : {L"d0000", L"d1022", L"d1023", L"d1024"}) {
    EXPECT_TRUE(zt::directory_exists(path(name))) << zt::narrow(name);
  }
}

#ifdef _WIN32
TEST_F(Directories, BareDriveCountsAsExistingWithoutAnEntry) {
  zt::ChildResult result = steps({L"d:C:", L"n", L"p:C:\\zovari-unit-no-such-file", L"n"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "d=1\nknown=1\nknown=1\n");
}
#else
// The profile folder is taken as existing without asking the system, so a
// climb below a profile folder that is not there stops at it.
TEST_F(Directories, ClimbStopsAtTheProfileFolder) {
  zt::ScopedEnvironment environment;
  environment.set("HOME", path(L"home"));
  zt::ChildResult result = steps({L"p:" + path(L"home/a/file"), L"n"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "known=1\n");
  EXPECT_FALSE(zt::directory_exists(path(L"home")));
}
#endif
