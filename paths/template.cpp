#include "paths/template.h"

#include "image/config.h"
#include "paths/bounded.h"
#include "paths/runtime_values.h"
#include "paths/tokens.h"
#include "platform/platform.h"

// Removes every separator at the end of the output but one that begins it:
// alone, that one names the root ("/"), and without it the path would be
// relative.  A folder that the Windows queries give starts with a drive or a
// server name, so there the rule never keeps a lone "\".
static void remove_trailing_separators(wchar_t* output) {
  size_t length = wcslen(output);
  size_t keep = output[0] == PLATFORM_SEPARATOR ? 1 : 0;
  while (length > keep && output[length - 1] == PLATFORM_SEPARATOR) {
    output[--length] = 0;
  }
}

static bool append_folder(wchar_t* output, size_t capacity,
                          bool (*query)(wchar_t*, size_t)) {
  wchar_t value[PLATFORM_FOLDER_CAPACITY];
  value[0] = 0;
  if (!query(value, PLATFORM_FOLDER_CAPACITY)) {
    return false;
  }
  append_wide_bounded(output, value, capacity);
  remove_trailing_separators(output);
  return true;
}

// Cuts a final ".exe", in any case, from the text at start.
static void cut_exe_suffix(wchar_t* start) {
  size_t length = wcslen(start);
  if (length >= 4 && same_text_ignoring_case(start + length - 4, L".exe")) {
    start[length - 4] = 0;
  }
}

// Appends the value of one token at the end of output.  False where the
// expansion must stop.
static bool resolve_token(wchar_t* output, size_t capacity, const wchar_t* name) {
  size_t length = wcslen(output);
  wchar_t* cursor = output + length;
  size_t remaining = capacity - length;
  switch (find_path_token(name)) {
    case TOKEN_TEMP:
      // A failing query must not leave a relative path behind: "{TEMP}\App"
      // would otherwise unpack into the current directory.
      if (platform_temp_directory(cursor, remaining) == 0) {
        *cursor = 0;
        return false;
      }
      remove_trailing_separators(output);
      return true;
    case TOKEN_PROGRAM:
      if (platform_executable_path(cursor, remaining) == 0) {
        *cursor = 0;
        return false;
      }
      return true;
    case TOKEN_PROGRAM_BASE:
      if (!expand_path_template(cursor, L"{PROGRAM}", remaining)) return false;
      cut_exe_suffix(cursor);
      return true;
    case TOKEN_PROGRAM_DIR:
      if (!expand_path_template(cursor, L"{PROGRAM}", remaining)) return false;
      cut_at_last_separator(cursor);
      return true;
    case TOKEN_PID:
      append_pid_value(output, capacity);
      return true;
    case TOKEN_HOME:
      return append_folder(output, capacity, platform_profile_directory);
    case TOKEN_CACHE_DIR:
      return append_folder(output, capacity, platform_cache_directory);
    case TOKEN_COMPANY:
      append_wide_bounded(output, build_value(BUILD_COMPANY), capacity);
      return true;
    case TOKEN_PRODUCT:
      append_wide_bounded(output, build_value(BUILD_PRODUCT), capacity);
      return true;
    case TOKEN_VERSION:
      append_wide_bounded(output, build_value(BUILD_VERSION), capacity);
      return true;
    case TOKEN_FILE_VERSION:
      append_wide_bounded(output, build_value(BUILD_FILE_VERSION), capacity);
      return true;
    case TOKEN_PRODUCT_VERSION:
      append_wide_bounded(output, build_value(BUILD_PRODUCT_VERSION), capacity);
      return true;
    case TOKEN_RANDOM:
      append_random_value(output, capacity);
      return true;
    case TOKEN_TIME_US:
      append_time_us_value(output, capacity);
      return true;
    case TOKEN_TIME:
      append_time_value(output, capacity);
      return true;
    case TOKEN_UNKNOWN:
      break;
  }
  return false;
}

// Appends the literal units of a piece; false when one finds no room.
static bool append_literal(wchar_t* output, size_t capacity, const template_piece& piece) {
  size_t length = wcslen(output);
  for (size_t i = 0; i < piece.length; ++i) {
    if (length + 2 > capacity) return false;
    output[length++] = piece.text[i];
    output[length] = 0;
  }
  return true;
}

bool expand_path_template(wchar_t* output, const wchar_t* path_template, size_t capacity) {
  output[0] = 0;
  const wchar_t* position = path_template;
  for (;;) {
    template_piece piece = next_template_piece(&position);
    // No token name is this long; refuse it like any unknown name, even one
    // that is given up or never closed.
    if (piece.kind != TEMPLATE_LITERAL && piece.length >= TEMPLATE_NAME_CAPACITY) return false;
    switch (piece.kind) {
      case TEMPLATE_END:
        return true;
      case TEMPLATE_LITERAL:
        if (!append_literal(output, capacity, piece)) return false;
        break;
      case TEMPLATE_TOKEN: {
        wchar_t name[TEMPLATE_NAME_CAPACITY];
        for (size_t i = 0; i < piece.length; ++i) name[i] = piece.text[i];
        name[piece.length] = 0;
        if (!resolve_token(output, capacity, name)) return false;
        break;
      }
      case TEMPLATE_ABANDONED:
      case TEMPLATE_UNCLOSED:
        // A name given up for a later "{" is dropped, and so is a token still
        // open at the end: {A{TEMP} is {TEMP}, abc{TEMP gives abc.
        break;
    }
  }
}
