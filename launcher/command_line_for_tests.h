// The quoting step that the tests drive on its own, kept out of the
// launcher's own interface.
#ifndef ZOVARI_LAUNCHER_COMMAND_LINE_FOR_TESTS_H
#define ZOVARI_LAUNCHER_COMMAND_LINE_FOR_TESTS_H

#include <stddef.h>
#include <wchar.h>

// Appends one argument to buffer (capacity units), quoted where needed.
// Aborts when it does not fit.
void append_argument(wchar_t* buffer, const wchar_t* argument, size_t capacity);

// Copies the fixed arguments (each NUL-terminated, the list ended by an
// empty one) into out in the same form, each "{TARGET_DIR}" (in any case)
// replaced by target_directory; nothing else is expanded, and other braces
// stay as they are.  Aborts when the list does not fit in capacity units.
void expand_fixed_arguments(const wchar_t* fixed, const wchar_t* target_directory, wchar_t* out,
                            size_t capacity);

#endif
