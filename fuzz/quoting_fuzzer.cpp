// Round trip of the child command line: the launcher's join_arguments, then
// an independent Windows splitter, must give back every argument but the
// empty ones, which are dropped.  The bound is checked against the same join
// into the full buffer: a smaller buffer aborts exactly when the full line
// and its NUL would not fit, and otherwise holds the same line.
//
// Input: two bytes of capacity, then the arguments after argument 0,
// separated by 0 bytes.  Each byte is one unit; bytes 0xF8 and above stand
// for units that bytes cannot spell.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "guard.h"
#include "launcher/command_line.h"
#include "tests/support/windows_split.h"

static const wchar_t MODULE_PATH[] = L"C:\\Program Files\\Zovari Fuzz\\run tool.exe";

static const wchar_t WIDE_UNITS[8] = {0x3000, 0x00A0, 0xFEFF, 0xFFFF, 0xD800, 0xDC00, 0x2028,
                                      0x0085};

static wchar_t unit_for_byte(uint8_t byte) {
  return byte >= 0xF8 ? WIDE_UNITS[byte - 0xF8] : (wchar_t)byte;
}

struct join_call {
  std::vector<wchar_t*>* arguments;
  wchar_t* buffer;
  size_t capacity;
};

static void run_join(void* context) {
  join_call* call = (join_call*)context;
  join_arguments(call->arguments->data(), (int)call->arguments->size(), call->buffer,
                 call->capacity);
}

// The worked examples of the quoting rules must split back as written.
static void check_examples(void) {
  static const wchar_t* const examples[] = {
      L"report.txt", L"two words", L"C:\\Temp\\", L"C:\\My Files\\", L"say \"hi\"",
      L"a\\\"b",      L"a\\\\b c",  L"\"",         L"\\\\",            L"tab\there"};
  std::vector<wchar_t*> arguments;
  arguments.push_back((wchar_t*)MODULE_PATH);
  for (const wchar_t* example : examples) arguments.push_back((wchar_t*)example);
  static wchar_t line[COMMAND_LINE_CAPACITY];
  join_arguments(arguments.data(), (int)arguments.size(), line, COMMAND_LINE_CAPACITY);
  std::vector<std::wstring> split = test_support::split_windows_command_line(line);
  if (split.size() != arguments.size()) fuzz_finding("examples: %zu arguments back", split.size());
  for (size_t i = 0; i < split.size(); ++i) {
    if (split[i] != arguments[i]) fuzz_finding("examples: argument %zu differs: %ls", i, line);
  }
  static const wchar_t expected[] =
      L"\"C:\\Program Files\\Zovari Fuzz\\run tool.exe\" report.txt \"two words\" C:\\Temp\\ "
      L"\"C:\\My Files\\\\\" \"say \\\"hi\\\"\" \"a\\\\\\\"b\" \"a\\\\b c\" \"\\\"\" \\\\ "
      L"\"tab\there\"";
  if (wcscmp(line, expected) != 0) fuzz_finding("examples: line %ls", line);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  check_examples();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t capacity = 1 + (((size_t)data[0] << 8 | data[1]) % COMMAND_LINE_CAPACITY);
  std::vector<std::wstring> texts;
  texts.emplace_back();
  for (size_t i = 2; i < size; ++i) {
    if (data[i] == 0) {
      texts.emplace_back();
    } else {
      texts.back().push_back(unit_for_byte(data[i]));
    }
  }
  std::vector<wchar_t*> arguments;
  arguments.push_back((wchar_t*)MODULE_PATH);
  for (std::wstring& text : texts) arguments.push_back(&text[0]);

  // The inputs are short enough that the full buffer always holds them.
  static wchar_t full[COMMAND_LINE_CAPACITY];
  join_call whole = {&arguments, full, COMMAND_LINE_CAPACITY};
  guarded_result result = run_guarded(run_join, &whole);
  if (result.end != GUARDED_RETURNED) fuzz_finding("the full buffer did not take the line");
  size_t length = wcslen(full);

  std::vector<std::wstring> split = test_support::split_windows_command_line(full);
  std::vector<std::wstring> expected;
  expected.push_back(MODULE_PATH);
  for (const std::wstring& text : texts) {
    if (!text.empty()) expected.push_back(text);
  }
  if (split != expected) {
    fuzz_finding("round trip: %zu arguments in, %zu back, line %ls", expected.size(),
                 split.size(), full);
  }

  // Exactly capacity units, so that any write past the bound is seen.
  wchar_t* bounded = (wchar_t*)malloc(capacity * sizeof(wchar_t));
  join_call small = {&arguments, bounded, capacity};
  result = run_guarded(run_join, &small);
  bool fits = length + 1 <= capacity;
  if (result.end == GUARDED_ABORTED && fits) fuzz_finding("aborted though %zu units fit", length);
  if (result.end == GUARDED_RETURNED && !fits) fuzz_finding("no abort at capacity %zu", capacity);
  if (result.end == GUARDED_EXITED) fuzz_finding("join exited with %d", result.status);
  if (result.end == GUARDED_RETURNED && wcscmp(bounded, full) != 0) {
    fuzz_finding("the bounded line differs from the full one");
  }
  free(bounded);
  return 0;
}
