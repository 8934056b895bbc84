// The thread that cleans the cache beside the program (payload/cache_cleaning.h).
#ifndef ZOVARI_LAUNCHER_CACHE_CLEANING_H
#define ZOVARI_LAUNCHER_CACHE_CLEANING_H

// Once the program has started: begins removing the other builds' folders
// on a thread of its own, so that the program's start never waits for it.
// Nothing unless armed.
void start_cache_cleaning(void);

// Arms the cleaning for a launcher built with --clean-cache; per_start: the
// start's own folder is removed after the program.
void arm_cache_cleaning(bool per_start);

// Once the program has ended: lets the removal go on for at most
// CLEANING_BOUND_MILLISECONDS, then lets it start no further folder; what
// is left waits for the next start.  A folder of one start waits until the folder in hand is
// removed, since that folder's own removal follows.  Safe from any thread,
// and more than once.
void finish_cache_cleaning(void);

static const unsigned CLEANING_BOUND_MILLISECONDS = 1500;

#endif
