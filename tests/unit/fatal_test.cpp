// Fatal reports: each message on its stream, with its end.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "paths/fatal.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

// The system's text for a code as report_system_error prints it.
std::string trimmed_system_text(uint32_t code) {
  char* text = platform_error_text(code);
  if (text == nullptr) return "no text for this error";
  trim_line_end(text);
  std::string trimmed = text;
  free(text);
  return trimmed;
}

test_support::ChildResult report(const std::wstring& message, const std::wstring& code) {
  std::wstring runner = test_support::sibling_program(L"zovari-piece-runner");
  return test_support::run_program(runner, {runner, L"report", message, code});
}

}  // namespace

TEST(FatalReport, TrimsOnlyTheTrailingLineEnd) {
  char text[] = "File not found.\r\n\r\n";
  trim_line_end(text);
  EXPECT_STREQ(text, "File not found.");
  char inner[] = "a\r\nb\n";
  trim_line_end(inner);
  EXPECT_STREQ(inner, "a\r\nb");
  char only[] = "\r\n\n\r";
  trim_line_end(only);
  EXPECT_STREQ(only, "");
  char none[] = "";
  trim_line_end(none);
  EXPECT_STREQ(none, "");
}

TEST(FatalReport, SystemErrorLineOnStandardError) {
  test_support::ChildResult result = report(L"Error, couldn't launch child", L"2");
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Error, couldn't launch child ([Error 2] " + trimmed_system_text(2) + ")\n");
  EXPECT_EQ(result.err.find('\r'), std::string::npos);
}

TEST(FatalReport, CodesFromTwoToThe31ArePrintedNegative) {
  test_support::ChildResult result = report(L"Error, couldn't launch child", L"0x80000000");
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.err, "Error, couldn't launch child ([Error -2147483648] " +
                            trimmed_system_text(0x80000000u) + ")\n");
  result = report(L"m", L"0xFFFFFFFF");
  EXPECT_EQ(result.err, "m ([Error -1] " + trimmed_system_text(0xFFFFFFFFu) + ")\n");
}

TEST(FatalReport, TemplateExpansionFailureQuotesTheTemplateAndAborts) {
  EXPECT_DEATH(fail_template_expansion(L"{FOO}\\Fendix\\{VERSION}"),
               "Error, couldn't runtime expand spec '\\{FOO\\}.Fendix.\\{VERSION\\}'\\.");
  EXPECT_DEATH(fail_template_expansion(L"{HOME}"), "Error, couldn't runtime expand spec '\\{HOME\\}'\\.");
}

TEST(FatalReport, PlainMessagesGoToStandardOutputWithExitTwo) {
  EXPECT_EXIT(
      {
        test_support::redirect_stdout_to_stderr();
        fail_with_message("Error, couldn't find attached data header.");
      },
      testing::ExitedWithCode(2), "Error, couldn't find attached data header\\.");
}
