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

#endif
