#ifndef ZOVARI_PATHS_TEMPLATE_H
#define ZOVARI_PATHS_TEMPLATE_H

#include <stddef.h>
#include <wchar.h>

#include "paths/tokens.h"

// Expands the {TOKEN}s of path_template into output, which holds capacity
// units.  True with the complete expansion; false at an unknown token name, a
// literal with no room, or a failing system query, the output then holding
// what came before, NUL-terminated.  Aborts when a token's value does not fit
// (a value is never cut) or an inherited process id is not all digits.
bool expand_path_template(wchar_t* output, const wchar_t* path_template, size_t capacity);

// A token name holds fewer units than this; a longer one is refused.
static const size_t TEMPLATE_NAME_CAPACITY = 1024;

// The pieces a template is read as, front to back.  A "{" starts a token
// name, in the middle of another one too: {A{TEMP} is the name "A", given up
// at the second "{", then the token {TEMP}.  A "}" that no "{" opened is a
// literal.
enum template_piece_kind {
  TEMPLATE_END,        // nothing left
  TEMPLATE_LITERAL,    // units outside any token
  TEMPLATE_TOKEN,      // a name between "{" and "}"
  TEMPLATE_ABANDONED,  // a name cut off by another "{"
  TEMPLATE_UNCLOSED    // a name that the template's end cuts off
};

// One piece: its kind and its text, the literal units or the name without
// its braces, pointing into the template.
struct template_piece {
  template_piece_kind kind;
  const wchar_t* text;
  size_t length;
};

// Reads the piece at *position, a point in a NUL-terminated template, and
// moves *position past it.  Reads nothing beyond the terminating NUL.
static inline template_piece next_template_piece(const wchar_t** position) {
  const wchar_t* at = *position;
  template_piece piece;
  if (*at == 0) {
    piece.kind = TEMPLATE_END;
    piece.text = at;
    piece.length = 0;
    return piece;
  }
  if (*at != L'{') {
    piece.kind = TEMPLATE_LITERAL;
    piece.text = at;
    while (*at != 0 && *at != L'{') ++at;
    piece.length = (size_t)(at - piece.text);
    *position = at;
    return piece;
  }
  piece.text = ++at;
  while (*at != 0 && *at != L'{' && *at != L'}') ++at;
  piece.length = (size_t)(at - piece.text);
  if (*at == L'}') {
    piece.kind = TEMPLATE_TOKEN;
    ++at;
  } else {
    piece.kind = *at == L'{' ? TEMPLATE_ABANDONED : TEMPLATE_UNCLOSED;
  }
  *position = at;
  return piece;
}

// True when the template holds {PID}, {TIME}, {TIME_US} or {RANDOM} (in any
// case): a token whose value differs at each start, so that each start gets
// a folder of its own.
static inline bool template_names_a_folder_per_start(const wchar_t* path_template) {
  const wchar_t* position = path_template;
  for (template_piece piece = next_template_piece(&position); piece.kind != TEMPLATE_END;
       piece = next_template_piece(&position)) {
    if (piece.kind != TEMPLATE_TOKEN || piece.length >= TEMPLATE_NAME_CAPACITY) continue;
    wchar_t name[TEMPLATE_NAME_CAPACITY];
    for (size_t i = 0; i < piece.length; ++i) name[i] = piece.text[i];
    name[piece.length] = 0;
    path_token token = find_path_token(name);
    if (token == TOKEN_PID || token == TOKEN_TIME || token == TOKEN_TIME_US || token == TOKEN_RANDOM) {
      return true;
    }
  }
  return false;
}

// The tokens whose values are absolute paths on either system.
static const path_token ABSOLUTE_PATH_TOKENS[] = {TOKEN_CACHE_DIR,   TOKEN_HOME,         TOKEN_TEMP,
                                                  TOKEN_PROGRAM_DIR, TOKEN_PROGRAM_BASE, TOKEN_PROGRAM};
static const size_t ABSOLUTE_PATH_TOKEN_COUNT = sizeof ABSOLUTE_PATH_TOKENS / sizeof ABSOLUTE_PATH_TOKENS[0];

// Whether a template gives an absolute path wherever it is expanded: it
// starts with one of those tokens, or with "/" (Linux), or a drive ("C:\")
// or a share ("\\") (Windows).  The packing tool refuses any other, and a
// launcher whose template is another has been damaged: it would unpack
// under whatever folder it was started in.
static inline bool template_gives_absolute_path(const wchar_t* path_template, bool windows) {
  const wchar_t* position = path_template;
  template_piece first = next_template_piece(&position);
  const wchar_t* text = first.text;
  if (first.kind == TEMPLATE_TOKEN) {
    for (size_t i = 0; i < ABSOLUTE_PATH_TOKEN_COUNT; ++i) {
      const wchar_t* name = PATH_TOKEN_NAMES[ABSOLUTE_PATH_TOKENS[i]];
      if (wcslen(name) == first.length && same_units_ignoring_case(text, name, first.length)) return true;
    }
    return false;
  }
  if (first.kind != TEMPLATE_LITERAL) return false;
  if (!windows) return text[0] == L'/';
  bool letter = (text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z');
  bool drive = first.length >= 3 && letter && text[1] == L':' && (text[2] == L'\\' || text[2] == L'/');
  bool share = first.length >= 2 && (text[0] == L'\\' || text[0] == L'/') && (text[1] == L'\\' || text[1] == L'/');
  return drive || share;
}

#endif
