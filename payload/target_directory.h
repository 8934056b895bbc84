// The target directory's making and judging, which every start does before
// it looks at any file in it, quick or full.
#ifndef ZOVARI_PAYLOAD_TARGET_DIRECTORY_H
#define ZOVARI_PAYLOAD_TARGET_DIRECTORY_H

#include <wchar.h>

// Makes the target directory and whatever is missing above it, then ends the
// process unless the whole chain is trusted.  A folder that cannot be made
// ends it with the open failure's message naming that folder; with
// secure_target_directory_for, naming file, the file the start was to write.
void secure_target_directory(const wchar_t* target_directory);
void secure_target_directory_for(const wchar_t* target_directory, const wchar_t* file);

// Whether secure_target_directory made the target directory itself, rather
// than finding it there.
bool target_directory_made(void);

// Forgets that, as a new process would start (for the tests).
void forget_target_directory(void);

#endif
