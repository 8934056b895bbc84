// Walks the payload stream and brings every file into the target directory,
// writing only those whose file checksum on disk differs from the record's.
#ifndef ZOVARI_PAYLOAD_UNPACK_H
#define ZOVARI_PAYLOAD_UNPACK_H

#include <wchar.h>

// Reads file records until the end record and returns after it.  Before the
// first file is checked, the target directory and every missing folder above
// it are made, and the whole chain must be trusted or the process ends.  A
// file whose checksum already matches is read past; any other is written (its
// directories made first).  The first record's path becomes the main binary
// path, whether written or not.  Ends the process on any failure; files
// completed before it stay.
void unpack_files(const wchar_t* target_directory);

// The first record's path; empty when the payload holds no file.
const wchar_t* unpack_main_binary_path(void);

#endif
