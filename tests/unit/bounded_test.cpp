#include <gtest/gtest.h>

#include "paths/bounded.h"

TEST(AppendWideBounded, ContinuesAfterExistingText) {
  wchar_t buffer[5] = L"ab";
  append_wide_bounded(buffer, L"cd", 5);
  EXPECT_STREQ(buffer, L"abcd");
}
