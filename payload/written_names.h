// The record of the files one start has written, kept so that it can prove a
// file absent without opening it: in a folder made while this launcher held
// the target directory's lock, a file exists only if this start wrote it.
#ifndef ZOVARI_PAYLOAD_WRITTEN_NAMES_H
#define ZOVARI_PAYLOAD_WRITTEN_NAMES_H

#include <stdbool.h>
#include <wchar.h>

// Records that the file at name (relative to the target directory, in this
// system's spelling) was written.  A name whose spelling may hide the file it
// reaches (platform_name_key) ends the record's proofs for this start.
void record_written_name(const wchar_t* name);

// True only when no name recorded so far can reach the same file as name;
// false when one may, or when name or the record cannot tell.
bool never_written(const wchar_t* name);

// Empties the record, as a new process starts with it empty.
void forget_written_names(void);

#endif
