#include "tests/support/windows_split.h"

namespace test_support {

static bool is_blank(wchar_t unit) {
  return unit == L' ' || unit == L'\t';
}

std::vector<std::wstring> split_windows_arguments(const std::wstring& tail) {
  std::vector<std::wstring> arguments;
  size_t i = 0;
  const size_t end = tail.size();
  for (;;) {
    while (i < end && is_blank(tail[i])) ++i;
    if (i == end) break;
    std::wstring argument;
    bool in_quotes = false;
    while (i < end) {
      wchar_t unit = tail[i];
      if (!in_quotes && is_blank(unit)) break;
      if (unit == L'\\') {
        size_t run = 0;
        while (i < end && tail[i] == L'\\') ++run, ++i;
        if (i < end && tail[i] == L'"') {
          argument.append(run / 2, L'\\');
          if (run % 2 == 1) {
            argument += L'"';
            ++i;
          }
          // an even run leaves the quote to be read as a quote below
        } else {
          argument.append(run, L'\\');
        }
        continue;
      }
      if (unit == L'"') {
        if (in_quotes && i + 1 < end && tail[i + 1] == L'"') {
          argument += L'"';
          in_quotes = false;
          i += 2;
        } else {
          in_quotes = !in_quotes;
          ++i;
        }
        continue;
      }
      argument += unit;
      ++i;
    }
    arguments.push_back(argument);
  }
  return arguments;
}

std::vector<std::wstring> split_windows_command_line(const std::wstring& line) {
  size_t at = 0;
  std::wstring program;
  if (at < line.size() && line[at] == L'"') {
    ++at;
    while (at < line.size() && line[at] != L'"') program.push_back(line[at++]);
    if (at < line.size()) ++at;  // the closing mark
  } else {
    while (at < line.size() && !is_blank(line[at])) program.push_back(line[at++]);
  }
  std::vector<std::wstring> arguments = split_windows_arguments(line.substr(at));
  arguments.insert(arguments.begin(), program);
  return arguments;
}

}  // namespace test_support
