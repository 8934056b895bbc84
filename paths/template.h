#ifndef ZOVARI_PATHS_TEMPLATE_H
#define ZOVARI_PATHS_TEMPLATE_H

#include <stddef.h>
#include <wchar.h>

// Expands the {TOKEN}s of path_template into output, which holds capacity
// units.  True with the complete expansion; false at an unknown token name, a
// literal with no room, or a failing system query, the output then holding
// what came before, NUL-terminated.  Aborts when a token's value does not fit
// (a value is never cut) or an inherited process id is not all digits.
bool expand_path_template(wchar_t* output, const wchar_t* path_template, size_t capacity);

#endif
