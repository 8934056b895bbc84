// A splitter for Windows command lines, written from the rules the system's
// CommandLineToArgvW follows, to check the launcher's quoting against.  It
// shares no code with the launcher.
#ifndef ZOVARI_FUZZ_WINDOWS_SPLIT_H
#define ZOVARI_FUZZ_WINDOWS_SPLIT_H

#include <string>
#include <vector>

// Splits a whole command line.  Argument 0, the program, is taken by its own
// rule: up to the next quotation mark when it starts with one (no escapes),
// else up to the first space or tab.  The others:
//   - spaces and tabs outside quotes separate arguments;
//   - 2n backslashes before a quotation mark give n backslashes, and the mark
//     opens or closes a quoted part; 2n+1 give n backslashes and a literal
//     mark;
//   - backslashes before anything else stand as they are;
//   - inside a quoted part, two quotation marks give one literal mark and the
//     part stays open.
std::vector<std::wstring> split_windows_command_line(const std::wstring& line);

#endif
