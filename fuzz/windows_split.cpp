#include "windows_split.h"

static bool is_blank(wchar_t unit) {
  return unit == L' ' || unit == L'\t';
}

static size_t split_program(const std::wstring& line, std::wstring* program) {
  size_t at = 0;
  if (at < line.size() && line[at] == L'"') {
    ++at;
    while (at < line.size() && line[at] != L'"') program->push_back(line[at++]);
    if (at < line.size()) ++at;  // the closing mark
  } else {
    while (at < line.size() && !is_blank(line[at])) program->push_back(line[at++]);
  }
  return at;
}

// Reads one argument that starts at line[at] (not a blank); returns where it
// ended.
static size_t split_one(const std::wstring& line, size_t at, std::wstring* argument) {
  bool quoted = false;
  while (at < line.size()) {
    wchar_t unit = line[at];
    if (is_blank(unit) && !quoted) break;
    if (unit == L'\\') {
      size_t run = 0;
      while (at < line.size() && line[at] == L'\\') {
        ++run;
        ++at;
      }
      if (at < line.size() && line[at] == L'"') {
        argument->append(run / 2, L'\\');
        if (run % 2 == 1) {
          argument->push_back(L'"');
          ++at;
        }
      } else {
        argument->append(run, L'\\');
      }
      continue;
    }
    if (unit == L'"') {
      if (quoted && at + 1 < line.size() && line[at + 1] == L'"') {
        argument->push_back(L'"');
        at += 2;
      } else {
        quoted = !quoted;
        ++at;
      }
      continue;
    }
    argument->push_back(unit);
    ++at;
  }
  return at;
}

std::vector<std::wstring> split_windows_command_line(const std::wstring& line) {
  std::vector<std::wstring> arguments;
  std::wstring program;
  size_t at = split_program(line, &program);
  arguments.push_back(program);
  for (;;) {
    while (at < line.size() && is_blank(line[at])) ++at;
    if (at >= line.size()) break;
    std::wstring argument;
    at = split_one(line, at, &argument);
    arguments.push_back(argument);
  }
  return arguments;
}
