#include "launcher/command_line.h"
#include "launcher/command_line_for_tests.h"

#include <stdlib.h>

#include "paths/bounded.h"
#include "platform/platform.h"

wchar_t CommandLineBuffer[COMMAND_LINE_CAPACITY];

static wchar_t ModulePath[PATH_CAPACITY];
// The fixed arguments with the target directory in place, in the build's
// list form.  The Windows line holds no more than this anyway.
static wchar_t FixedArguments[COMMAND_LINE_CAPACITY];
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

// The one name a fixed argument may hold, in any case, as template tokens are.
static const wchar_t TARGET_DIRECTORY_TOKEN[] = L"{TARGET_DIR}";

static bool starts_with_token(const wchar_t* text) {
  for (size_t i = 0; TARGET_DIRECTORY_TOKEN[i] != 0; ++i) {
    wchar_t unit = text[i] >= L'a' && text[i] <= L'z' ? (wchar_t)(text[i] - 32) : text[i];
    if (unit != TARGET_DIRECTORY_TOKEN[i]) return false;
  }
  return true;
}

// Puts count units at out + *length, leaving room for the list's closing NUL.
static void put_units(wchar_t* out, size_t* length, const wchar_t* text, size_t count,
                      size_t capacity) {
  if (count >= capacity || capacity - count - 1 < *length) platform_abort();
  wmemcpy(out + *length, text, count);
  *length += count;
}

void expand_fixed_arguments(const wchar_t* fixed, const wchar_t* target_directory, wchar_t* out,
                            size_t capacity) {
  const size_t token_length = sizeof TARGET_DIRECTORY_TOKEN / sizeof(wchar_t) - 1;
  const size_t directory_length = wcslen(target_directory);
  size_t length = 0;
  for (const wchar_t* at = fixed; *at != 0; ++at) {
    for (; *at != 0; ++at) {
      if (starts_with_token(at)) {
        put_units(out, &length, target_directory, directory_length, capacity);
        at += token_length - 1;
      } else {
        put_units(out, &length, at, 1, capacity);
      }
    }
    put_units(out, &length, L"", 1, capacity);
  }
  if (capacity == 0) platform_abort();
  out[length] = 0;
}

// The launcher's arguments with the fixed ones put in after argument 0, in a
// list of its own that lives until the process ends; the launcher's own list
// itself when there are none.
static wchar_t** with_fixed_arguments(wchar_t** own, int* count, const wchar_t* fixed) {
  int fixed_count = 0;
  for (const wchar_t* at = fixed; *at != 0; at += wcslen(at) + 1) ++fixed_count;
  if (fixed_count == 0) return own;
  wchar_t** list = (wchar_t**)calloc((size_t)*count + (size_t)fixed_count + 1, sizeof(wchar_t*));
  if (list == nullptr) platform_abort();
  list[0] = own[0];
  int next = 1;
  for (const wchar_t* at = fixed; *at != 0; at += wcslen(at) + 1) list[next++] = (wchar_t*)at;
  for (int i = 1; i < *count; ++i) list[next++] = own[i];
  *count = next;
  return list;
}

void build_child_command_line(const wchar_t* fixed_arguments, const wchar_t* target_directory) {
  expand_fixed_arguments(fixed_arguments, target_directory, FixedArguments, COMMAND_LINE_CAPACITY);
  int count = 0;
  wchar_t** own = platform_launcher_arguments(&count);
  if (own == nullptr || count < 1) {
    platform_abort();
  }
  ChildArguments = with_fixed_arguments(own, &count, FixedArguments);
  ChildArgumentCount = count;
  CommandLineBuffer[0] = 0;
  if (ModulePath[0] == 0 && platform_executable_path(ModulePath, PATH_CAPACITY) == 0) {
    platform_abort();
  }
  ChildArguments[0] = ModulePath;
  // A vector of arguments has no bound of its own here: the system's limit
  // applies, and its refusal is reported as any failed start is.
  if (PLATFORM_CHILD_TAKES_COMMAND_LINE) {
    join_arguments(ChildArguments, ChildArgumentCount, CommandLineBuffer, COMMAND_LINE_CAPACITY);
  }
}

wchar_t* const* child_arguments(int* count) {
  *count = ChildArgumentCount;
  return ChildArguments;
}
