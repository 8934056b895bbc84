// A splitter for Windows command lines, written from the rules the system's
// CommandLineToArgvW follows and checked against it under Wine.  The unit
// tests and the quoting fuzzer both check the launcher's quoting with it; it
// shares no code with the launcher.
#ifndef ZOVARI_TESTS_WINDOWS_SPLIT_H
#define ZOVARI_TESTS_WINDOWS_SPLIT_H

#include <string>
#include <vector>

namespace test_support {

// Splits a command-line tail the way the Windows splitter treats every
// argument after the first: whitespace (space, tab) outside quotes separates;
// 2n backslashes and a quote give n backslashes and toggle quoting; 2n+1 and a
// quote give n backslashes and a literal quote; inside quotes "" gives a
// literal quote and ends quoting; other backslashes stand for themselves.
std::vector<std::wstring> split_windows_arguments(const std::wstring& tail);

// Splits a whole command line.  Argument 0, the program, is taken by its own
// rule: up to the next quotation mark when it starts with one (no escapes),
// else up to the first space or tab; the rest as split_windows_arguments.
std::vector<std::wstring> split_windows_command_line(const std::wstring& line);

}  // namespace test_support

#endif
