// How the launcher ends when it meets a condition it cannot handle: a fixed
// message on a fixed stream, then exit code 2 or abort.  Nothing is rolled
// back; files written so far stay on disk.
// It sits on the lowest floor above the platform seam, which is all it
// uses, so that the payload's code and the launcher's can both end with it.
#ifndef ZOVARI_PATHS_FATAL_H
#define ZOVARI_PATHS_FATAL_H

#include <stdint.h>
#include <wchar.h>

#include "platform/platform.h"

// Writes "message ([Error code] system text)" to standard error and returns;
// the caller exits with 2.
void report_system_error(const char* message, uint32_t code);

// Writes the template's expansion failure to standard error, then aborts.
[[noreturn]] void fail_template_expansion(const wchar_t* path_template);

// Reports that the file at path, being unpacked, cannot be opened for
// writing; exit 2.
[[noreturn]] void fail_open_for_writing(const wchar_t* path);

// Reports a failed write of unpacked data with the system's error code, which
// the caller takes at once; exit 2.
[[noreturn]] void fail_unpack_write(uint32_t code);

// Reports that folder, the target directory or a folder above it, is not
// this user's alone, and why; exit 2.  A folder the user may not enter
// (PLATFORM_NOT_ENTERED) is named as that, which no other account's doing
// causes: nothing in it can be read.
[[noreturn]] void fail_unsafe_directory(const wchar_t* folder, platform_trust why);

// Puts one of the plain messages on standard output; exit 2.
[[noreturn]] void fail_with_message(const char* message);

// Trims a system message's trailing carriage returns and line feeds in place.
void trim_line_end(char* text);

#endif
