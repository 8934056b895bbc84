// The quoting step that the tests drive on its own, kept out of the
// launcher's own interface.
#ifndef ZOVARI_LAUNCHER_COMMAND_LINE_FOR_TESTS_H
#define ZOVARI_LAUNCHER_COMMAND_LINE_FOR_TESTS_H

#include <stddef.h>
#include <wchar.h>

// Appends one argument to buffer (capacity units), quoted where needed.
// Aborts when it does not fit.
void append_argument(wchar_t* buffer, const wchar_t* argument, size_t capacity);

#endif
