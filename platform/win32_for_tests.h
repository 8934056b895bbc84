// What the Windows unit tests look at inside platform/win32/, kept out of the
// seam: the security attributes every folder the launcher creates gets, how
// folders are judged, the system folder's libraries, and the split of a
// plain command line.
// Wine keeps no security descriptor on disk (it reads one back from the Unix
// mode), so the descriptor is checked where it is built.
#ifndef ZOVARI_PLATFORM_WIN32_FOR_TESTS_H
#define ZOVARI_PLATFORM_WIN32_FOR_TESTS_H

#include <windows.h>

#include "platform/platform.h"

// Built once; null when it cannot be built.
SECURITY_ATTRIBUTES* private_folder_attributes(void);

// How a folder's owner and access list are judged (platform_secure_directory
// reads them from the folder): as the target's, or as a folder's above it
// when above; a null descriptor is one that cannot be read.  A table of
// descriptors covers what Wine cannot put on disk.
platform_trust judge_folder_security(PSECURITY_DESCRIPTOR descriptor, bool above);

// Whether the object lies on the volume that holds the launcher's own file.
bool on_launcher_volume(HANDLE object);

// What a verdict on an object's owner and access list comes to on its
// volume: one that keeps no owners (FAT, exFAT) and holds the launcher's own
// file makes any verdict trusted, as whoever can change the object there can
// change the launcher too; elsewhere the verdict stands.
platform_trust trust_on_volume(platform_trust judged, bool volume_keeps_owners, bool launcher_volume);

// Loads a library of the system folder, with the search flags or, where the
// system refuses them as an invalid parameter, by its full path.
HMODULE load_system_library(const wchar_t* name, DWORD search);

// Splits a command line that needs none of CommandLineToArgvW's quoting
// rules; false, leaving it to CommandLineToArgvW, for any other.
bool split_plain_command_line(const wchar_t* line, wchar_t*** arguments, int* count);

#endif
