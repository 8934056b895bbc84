// What the Windows side's files share, and nothing more: the seam itself is
// platform.h, and everything not named here stays static in its file.
#ifndef ZOVARI_PLATFORM_WIN32_SHARED_H
#define ZOVARI_PLATFORM_WIN32_SHARED_H

#include <windows.h>

#include "platform/platform.h"

// ---- text.cpp

// The longest path the Windows side handles, in units, as a "\\?\" path may
// be.
static const size_t WALK_CAPACITY = 32768;

// ---- security.cpp

// The security descriptor of the object behind the handle, with what was
// asked for, in one buffer that an access list of the largest size fits;
// null when it cannot be read.
PSECURITY_DESCRIPTOR read_security(HANDLE object, SECURITY_INFORMATION wanted);

// Whose the object behind the handle is (the lock's mutex).
platform_trust owner_trust(HANDLE object);

// Whether the folder lies on a volume that keeps no owners and that holds
// the launcher's own file: whoever can change the one can change the other.
bool ownerless_launcher_volume(HANDLE folder);

// Whether only the user and the system can change the file or folder behind
// the handle below the target directory: its owner and its access list,
// judged as the target's own, or else its lying on the launcher's own
// owner-less volume.  One read of its descriptor.
platform_trust inside_trust(HANDLE object);

// ---- trust.cpp

// Copies text into out (capacity units), cut to fit.
void copy_cut(const wchar_t* text, wchar_t* out, size_t capacity);

// ---- files.cpp

// The system's handle behind a platform handle.
static inline HANDLE as_handle(platform_handle handle) {
  return (HANDLE)handle;
}

// ---- inside.cpp

// Closes the folders held below the target directory, all but the first
// depth of them (0: every one).
void let_go_below(size_t depth);

// ---- console.cpp

// Puts back the process-wide error mode where platform_refuse_dialogs had to
// change it (Windows Vista), so that the child inherits the one the launcher
// was given.  Nothing elsewhere.
void give_back_error_mode(void);

// ---- removal.cpp

// Holds the folder at path, which platform_secure_directory has just made,
// for platform_remove_made_folders; forget_made_folders lets go of those held.
void note_made_folder(const wchar_t* path);
void forget_made_folders(void);

// ---- arguments.cpp

// A function of shell32, which is loaded from System32 the first time one
// is asked for; null when it cannot be had.
FARPROC shell32_function(const char* name);

#endif
