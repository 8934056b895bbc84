#include "paths/fatal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"

void trim_line_end(char* text) {
  size_t length = strlen(text);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
    text[--length] = '\0';
  }
}

void report_system_error(const char* message, uint32_t code) {
  // The text is never released: every caller ends the process right after.
  char* text = platform_error_text(code);
  if (text != nullptr) {
    trim_line_end(text);
  }
  fprintf(stderr, "%s ([Error %ld] %s)\n", message, (long)(int32_t)code,
          text != nullptr ? text : "no text for this error");
  fflush(stderr);
}

// A path or template as message text; the line is printed whole even
// without memory for the conversion.
static const char* displayed(const wchar_t* text) {
  const char* converted = platform_display_text(text);
  return converted != nullptr ? converted : "?";
}

void fail_template_expansion(const wchar_t* path_template) {
  fprintf(stderr, "Error, couldn't runtime expand spec '%s'.\n", displayed(path_template));
  fflush(stderr);
  platform_abort();
}

void fail_open_for_writing(const wchar_t* path) {
  fprintf(stderr, "Error, failed to open '%s' for writing.\n", displayed(path));
  exit(2);
}

void fail_unpack_write(uint32_t code) {
  report_system_error("Error, couldn't unpack file to target path.", code);
  exit(2);
}

void fail_unsafe_directory(const wchar_t* folder, platform_trust why) {
  if (why == PLATFORM_NOT_ENTERED) {
    fprintf(stderr, "Error, couldn't enter folder '%s' (permission denied).\n", displayed(folder));
    exit(2);
  }
  const char* reason = "its owner and permissions cannot be read";
  if (why == PLATFORM_NOT_OWNED) {
    reason = "owned by another user";
  } else if (why == PLATFORM_OTHERS_CAN_WRITE) {
    reason = "others can write to it";
  }
  fprintf(stderr, "Error, unsafe target directory '%s' (%s).\n", displayed(folder), reason);
  exit(2);
}

void fail_with_message(const char* message) {
  puts(message);
  exit(2);
}
