// What the Windows unit tests look at inside win32.cpp, kept out of the
// seam: the security attributes every folder the launcher creates gets, and
// the split of a plain command line.
// Wine keeps no security descriptor on disk (it reads one back from the Unix
// mode), so the descriptor is checked where it is built.
#ifndef ZOVARI_PLATFORM_WIN32_FOR_TESTS_H
#define ZOVARI_PLATFORM_WIN32_FOR_TESTS_H

#include <windows.h>

// Built once; null when it cannot be built.
SECURITY_ATTRIBUTES* private_folder_attributes(void);

// Splits a command line that needs none of CommandLineToArgvW's quoting
// rules; false, leaving it to CommandLineToArgvW, for any other.
bool split_plain_command_line(const wchar_t* line, wchar_t*** arguments, int* count);

#endif
