// The child's command line: the build's fixed arguments and the launcher's
// own, re-quoted so that the Windows splitter gives the child the same list
// back, with the launcher's full executable path as argument 0.  Empty
// arguments are dropped.
#ifndef ZOVARI_LAUNCHER_COMMAND_LINE_H
#define ZOVARI_LAUNCHER_COMMAND_LINE_H

#include <stddef.h>
#include <wchar.h>

// 32767 units of text and the NUL.
static const size_t COMMAND_LINE_CAPACITY = 0x8000;

// The buffer the child is started with; it lives until the process ends.
extern wchar_t CommandLineBuffer[COMMAND_LINE_CAPACITY];

// True when the argument holds a space, tab, line feed, vertical tab or
// quotation mark.
bool argument_needs_quotes(const wchar_t* argument);

// Empties buffer and writes the arguments into it, one space between each.
// Aborts when the text does not fit in capacity units.
void join_arguments(wchar_t* const* arguments, int count, wchar_t* buffer, size_t capacity);

// Fills the module path and the child's arguments: argument 0 the module
// path, then the fixed arguments (each NUL-terminated, the list ended by an
// empty one) with target_directory for each "{TARGET_DIR}", then the
// launcher's own after its argument 0.  Where the
// system starts a child from one line, joins them into CommandLineBuffer;
// elsewhere leaves it empty.  Aborts when the system gives no arguments or
// no module path, or the line (or the fixed arguments with the target
// directory in place) would exceed 32767 units.
void build_child_command_line(const wchar_t* fixed_arguments, const wchar_t* target_directory);

// The child's arguments as build_child_command_line left them (for systems
// that start a child from a vector rather than a line).
wchar_t* const* child_arguments(int* count);

#endif
