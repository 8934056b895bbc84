#include "launcher/command_line.h"
#include "launcher/command_line_for_tests.h"

#include <stdlib.h>

#include "paths/bounded.h"
#include "platform/platform.h"

wchar_t CommandLineBuffer[COMMAND_LINE_CAPACITY];

static wchar_t ModulePath[PATH_CAPACITY];
static wchar_t** ChildArguments;
static int ChildArgumentCount;

bool argument_needs_quotes(const wchar_t* argument) {
  for (; *argument != 0; ++argument) {
    switch (*argument) {
      case L' ':
      case L'\t':
      case L'\n':
      case L'\v':
      case L'"':
        return true;
      default:
        break;
    }
  }
  return false;
}

// Appends text at the known end of the buffer's text, so that a long line
// is never rescanned.  The bound is still the whole buffer's.
static void append_text(wchar_t* buffer, size_t* length, const wchar_t* text, size_t capacity) {
  append_wide_bounded(buffer + *length, text, capacity - *length);
  *length += wcslen(buffer + *length);
}

static void append_unit(wchar_t* buffer, size_t* length, wchar_t unit, size_t capacity) {
  wchar_t text[2] = {unit, 0};
  append_text(buffer, length, text, capacity);
}

static void append_backslashes(wchar_t* buffer, size_t* length, size_t count, size_t capacity) {
  for (size_t i = 0; i < count; ++i) append_unit(buffer, length, L'\\', capacity);
}

// Backslashes are doubled only where a quotation mark, or the closing one,
// follows them; everywhere else they stand as they are.
static void append_quoted(wchar_t* buffer, size_t* length, const wchar_t* argument,
                          size_t capacity) {
  append_unit(buffer, length, L'"', capacity);
  const wchar_t* unit = argument;
  for (;;) {
    size_t backslashes = 0;
    while (*unit == L'\\') {
      ++backslashes;
      ++unit;
    }
    if (*unit == 0) {
      append_backslashes(buffer, length, 2 * backslashes, capacity);
      break;
    }
    size_t doubled = *unit == L'"' ? 2 * backslashes + 1 : backslashes;
    append_backslashes(buffer, length, doubled, capacity);
    append_unit(buffer, length, *unit, capacity);
    ++unit;
  }
  append_unit(buffer, length, L'"', capacity);
}

static void append_argument_at(wchar_t* buffer, size_t* length, const wchar_t* argument,
                               size_t capacity) {
  if (argument_needs_quotes(argument)) {
    append_quoted(buffer, length, argument, capacity);
  } else {
    append_text(buffer, length, argument, capacity);
  }
}

void append_argument(wchar_t* buffer, const wchar_t* argument, size_t capacity) {
  size_t length = wcslen(buffer);
  append_argument_at(buffer, &length, argument, capacity);
}

void join_arguments(wchar_t* const* arguments, int count, wchar_t* buffer, size_t capacity) {
  buffer[0] = 0;
  size_t length = 0;
  for (int i = 0; i < count; ++i) {
    if (i > 0) append_unit(buffer, &length, L' ', capacity);
    append_argument_at(buffer, &length, arguments[i], capacity);
  }
}

void build_child_command_line(void) {
  ChildArguments = platform_launcher_arguments(&ChildArgumentCount);
  if (ChildArguments == nullptr || ChildArgumentCount < 1) {
    platform_abort();
  }
  CommandLineBuffer[0] = 0;
  if (ModulePath[0] == 0 && platform_executable_path(ModulePath, PATH_CAPACITY) == 0) {
    platform_abort();
  }
  ChildArguments[0] = ModulePath;
  join_arguments(ChildArguments, ChildArgumentCount, CommandLineBuffer, COMMAND_LINE_CAPACITY);
}

wchar_t* const* child_arguments(int* count) {
  *count = ChildArgumentCount;
  return ChildArguments;
}
