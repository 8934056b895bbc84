// A start that opens no file of the application: for a launcher built with
// --quick-start, a start that checked every file, wrote none, and still
// finds each as its check saw it leaves a stamp beside the target directory:
// the build's identity and a digest of what a change made through the file
// system alters in each file (size, change and write times, file identity,
// volume) and in each folder on the way to it (identity, owner, who else may
// change it).
// A later start whose stamp matches reads that metadata again and starts the
// child without decoding the payload or opening a file.  Any doubt means the
// full start, which repairs and stamps again.
#ifndef ZOVARI_PAYLOAD_QUICK_START_H
#define ZOVARI_PAYLOAD_QUICK_START_H

#include <stdint.h>
#include <wchar.h>

#include "platform/platform.h"

// The main binary's path when the stamp beside target_directory matches the
// build's list (payload/quick_start_list.h, 16-bit units) and the files'
// metadata now; null otherwise, and always for an empty or null list.  The target directory's
// chain is made and judged first, as a full start does, and a chain that is
// not trusted ends the process.
const wchar_t* quick_start_check(const wchar_t* target_directory, const uint16_t* list);

// Whether the start hands each file's facts to quick_start_note_file: a
// launcher built with the list, whose stamp did not match.
bool quick_start_takes_facts(void);

// What the check or the writing of the next file of the list (in payload
// order, empty files left out) saw of it, with the clock read before: null
// when its facts could not be had.  The stamp then holds only what was seen:
// a file changed after its check, or within the clock's tick before it, is
// no file the stamp may vouch for.
void quick_start_note_file(const platform_file_facts* facts, uint64_t clock);

// Removes the stamp before a full start's first write, so that no start
// trusts a folder that is half rewritten.  Nothing without a list.
void quick_start_forget(void);

// After a full start, under the target directory's lock: stamps what every
// file is now, when that is exactly what the start's checks and writes saw.
// Leaves no stamp when the lock cannot be had at once (another launcher is
// writing), when a file was written or changed too recently for its change
// time to show a later change, or when anything is in doubt; the next start
// then checks every file and stamps.
void quick_start_record(void);

#endif
