// The names that a path template may hold between "{" and "}", compared
// without regard to case.  Shared by the launcher and the packing tool, which
// refuses a template with any other name before it builds a launcher.
#ifndef ZOVARI_PATHS_TOKENS_H
#define ZOVARI_PATHS_TOKENS_H

#include <wchar.h>

enum path_token {
  TOKEN_TEMP,
  TOKEN_PROGRAM,
  TOKEN_PROGRAM_BASE,
  TOKEN_PROGRAM_DIR,
  TOKEN_PID,
  TOKEN_HOME,
  TOKEN_CACHE_DIR,
  TOKEN_COMPANY,
  TOKEN_PRODUCT,
  TOKEN_VERSION,
  TOKEN_FILE_VERSION,
  TOKEN_PRODUCT_VERSION,
  TOKEN_RANDOM,
  TOKEN_TIME_US,
  TOKEN_TIME,
  TOKEN_COUNT,
  TOKEN_UNKNOWN = TOKEN_COUNT
};

static const wchar_t* const PATH_TOKEN_NAMES[TOKEN_COUNT] = {
    L"TEMP",    L"PROGRAM",      L"PROGRAM_BASE",    L"PROGRAM_DIR", L"PID",
    L"HOME",    L"CACHE_DIR",    L"COMPANY",         L"PRODUCT",     L"VERSION",
    L"FILE_VERSION", L"PRODUCT_VERSION", L"RANDOM",  L"TIME_US",     L"TIME"};

// An ASCII letter in upper case; any other unit as it is.
static inline wchar_t fold_ascii_case(wchar_t c) { return (c >= L'a' && c <= L'z') ? (wchar_t)(c - 32) : c; }

// True when a and b are equal once ASCII letters are folded to one case.
static inline bool same_text_ignoring_case(const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    if (fold_ascii_case(*a) != fold_ascii_case(*b)) return false;
    if (*a == 0) return true;
  }
}

// The same for count units of a, which need not end there, and b.
static inline bool same_units_ignoring_case(const wchar_t* a, const wchar_t* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (fold_ascii_case(a[i]) != fold_ascii_case(b[i])) return false;
  }
  return true;
}

// The token a name stands for, or TOKEN_UNKNOWN.
static inline path_token find_path_token(const wchar_t* name) {
  for (int i = 0; i < TOKEN_COUNT; ++i) {
    if (same_text_ignoring_case(name, PATH_TOKEN_NAMES[i])) return (path_token)i;
  }
  return TOKEN_UNKNOWN;
}

#endif
