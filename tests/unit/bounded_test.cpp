// Bounded appends and the environment helpers with narrow names.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <wchar.h>

#include <string>

#include "paths/bounded.h"
#include "paths/environment.h"
#include "support/test_support.h"

TEST(AppendWideBounded, ContinuesAfterTheTextAlreadyThere) {
  wchar_t buffer[5] = L"ab";
  append_wide_bounded(buffer, L"cd", 5);
  EXPECT_STREQ(buffer, L"abcd");
}

TEST(AppendWideBounded, AbortsWhenTheExistingTextLeavesNoRoom) {
  // ab and cd need 5 units with the NUL: one more than there is.
  EXPECT_DEATH(
      {
        wchar_t buffer[4] = L"ab";
        append_wide_bounded(buffer, L"cd", 4);
      },
      "");
}

TEST(AppendWideBounded, EmptyTextIntoAFullBufferChangesNothing) {
  wchar_t buffer[4] = L"abc";
  append_wide_bounded(buffer, L"", 4);
  EXPECT_STREQ(buffer, L"abc");
}

TEST(AppendWideBounded, AbortsOnAMissingSource) {
  EXPECT_DEATH(
      {
        wchar_t buffer[4] = L"";
        append_wide_bounded(buffer, nullptr, 4);
      },
      "");
}

TEST(AppendNarrowWidened, WidensEachByteAndKeepsTheBound) {
  wchar_t buffer[8] = L"x";
  append_narrow_widened(buffer, "-42 ZO", 8);
  EXPECT_STREQ(buffer, L"x-42 ZO");
  EXPECT_DEATH(append_narrow_widened(buffer, "!", 8), "");
}

#ifndef _WIN32
TEST(AppendNarrowWidened, AbortsOnAByteThatIsNoCharacterByItself) {
  // The first byte of a two-byte UTF-8 sequence widens into nothing.
  EXPECT_DEATH(
      {
        wchar_t buffer[8] = L"";
        append_narrow_widened(buffer, "\xC3\xA9", 8);
      },
      "");
}
#endif

TEST(EnvironmentValue, EmptyAndUnsetBothReadAsNothing) {
  test_support::ScopedEnvironment environment;
  environment.unset("ZOVARI_UNIT_VALUE");
  EXPECT_EQ(get_environment_value("ZOVARI_UNIT_VALUE"), nullptr);
  environment.set("ZOVARI_UNIT_VALUE", L"");
  EXPECT_EQ(get_environment_value("ZOVARI_UNIT_VALUE"), nullptr);
}

TEST(EnvironmentValue, SetReadClearAndNumbers) {
  test_support::ScopedEnvironment environment;
  environment.unset("ZOVARI_UNIT_VALUE");
  set_environment_value("ZOVARI_UNIT_VALUE", L"C:\\a b\\{TEMP}");
  wchar_t* value = get_environment_value("ZOVARI_UNIT_VALUE");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, L"C:\\a b\\{TEMP}");
  free(value);

  set_environment_number("ZOVARI_UNIT_VALUE", -2147483647L - 1);
  value = get_environment_value("ZOVARI_UNIT_VALUE");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, L"-2147483648");
  free(value);

  clear_environment_value("ZOVARI_UNIT_VALUE");
  EXPECT_EQ(get_environment_value("ZOVARI_UNIT_VALUE"), nullptr);
}

TEST(EnvironmentValue, LongestValueTheSystemAllowsIsCopiedWhole) {
  test_support::ScopedEnvironment environment;
  environment.set("ZOVARI_UNIT_VALUE", std::wstring(32767, L'v'));
  // Windows keeps 32767 characters; Wine keeps one fewer.
  std::wstring stored;
  ASSERT_TRUE(test_support::environment_variable("ZOVARI_UNIT_VALUE", &stored));
  ASSERT_GE(stored.size(), 32766u);
  wchar_t* value = get_environment_value("ZOVARI_UNIT_VALUE");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(wcslen(value), stored.size());
  EXPECT_TRUE(std::wstring(value) == stored);
  free(value);
}

TEST(EnvironmentName, ThirtyNineCharactersAreAcceptedAndFortyAbort) {
  const std::string name39 = "ZOVARI_UNIT_" + std::string(27, 'N');
  const std::string name40 = name39 + "N";
  ASSERT_EQ(name39.size(), 39u);
  test_support::ScopedEnvironment environment;
  environment.unset(name39.c_str());
  set_environment_value(name39.c_str(), L"fits");
  wchar_t* value = get_environment_value(name39.c_str());
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, L"fits");
  free(value);
  EXPECT_DEATH(set_environment_value(name40.c_str(), L"x"), "");
  EXPECT_DEATH(get_environment_value(name40.c_str()), "");
  EXPECT_DEATH(clear_environment_value(name40.c_str()), "");
}
