// A cache that cleans itself, for a launcher built with --clean-cache.
//
// Every start keeps a record beside its folder ("<folder>.zovari-build":
// the product's identity, from its company, product and path template, and
// the build's, from its version and payload) and holds it from before the
// first file is checked until the launcher ends.  Once the program runs, a
// thread of the launcher's walks the folder's parent and removes each
// sibling whose record names the same product and another build, or a
// folder of one start that no launcher holds any more.  A folder without a
// record, another product's, a link, another account's and a held one are
// never touched.  A folder is renamed aside (with its record) before it is
// removed, so that no start ever runs from one half removed: a start of
// that build then unpacks a new one.
#ifndef ZOVARI_PAYLOAD_CACHE_CLEANING_H
#define ZOVARI_PAYLOAD_CACHE_CLEANING_H

#include <stdint.h>
#include <wchar.h>

// The record's name beside the folder, and the name a folder and its record
// take while they are removed.
#define CACHE_RECORD_SUFFIX L".zovari-build"
#define CACHE_ASIDE_SUFFIX L".zovari-removing"

// Turns cleaning on for this start: the identities its record names.
// per_start: the template gives each start a folder of its own.
void prepare_cache_cleaning(const wchar_t* company, const wchar_t* product, const wchar_t* path_template,
                            const wchar_t* version, const unsigned char* payload, uint64_t payload_length,
                            bool per_start);

// Holds the record beside target_directory, once per start, and writes it
// when it says anything else.  True when it took the hold just now: a
// removal may have set the folder aside a moment before, so the caller makes
// and judges it again.  Does nothing unless cleaning is on; when the record
// cannot be had, the start goes on without one.  made: this start made the
// folder; a folder of one start that it did not make gets no record.
bool hold_cache_folder(const wchar_t* target_directory, bool made);

// Removes the other builds' folders beside the held one, asking go_on before
// each; on the cleaning thread.  Nothing unless a record is held.
void clean_other_builds(bool (*go_on)(void));

// For a start about to remove its own folder of one start: removes the
// record it holds beside it, so that the folders above, which the start
// made, can go too.  Once the cleaning thread has ended.  A removal cut short
// then leaves a folder without a record, which no later start removes.
void drop_own_record(void);

#endif
