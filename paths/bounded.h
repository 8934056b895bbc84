// Bounded wide-string appends.
//
// Every fixed buffer in the launcher is filled through these appends: a text
// goes in whole or the process ends through abort.  Nothing is ever cut short.
#ifndef ZOVARI_PATHS_BOUNDED_H
#define ZOVARI_PATHS_BOUNDED_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

// A path buffer's size: one NUL-terminated path of at most 4095 units.
static const size_t PATH_CAPACITY = 4096;

// A token's value buffer (a folder, a run-time value), with its NUL.
static const size_t VALUE_CAPACITY = 1024;

// Appends source after the text already in destination, whose whole buffer
// holds capacity units.  Aborts on a null source or when the text and its NUL
// would not fit.
void append_wide_bounded(wchar_t* destination, const wchar_t* source, size_t capacity);

// Like append_wide_bounded, each byte of source widened into one character by
// the C run-time's conversion.  Aborts on a byte that does not convert.
void append_narrow_widened(wchar_t* destination, const char* source, size_t capacity);

// Cuts text at its last path separator, which goes with everything after it.
// A text without one stays whole.
void cut_at_last_separator(wchar_t* text);

#endif
