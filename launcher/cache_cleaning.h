// The thread that cleans the cache beside the program (payload/cache_cleaning.h).
#ifndef ZOVARI_LAUNCHER_CACHE_CLEANING_H
#define ZOVARI_LAUNCHER_CACHE_CLEANING_H

// Once the program has started: begins removing the other builds' folders
// on a thread of its own, so that the program's start never waits for it.
// Nothing unless armed.
void start_cache_cleaning(void);

// Arms the cleaning for a launcher built with --clean-cache.
void arm_cache_cleaning(void);

// Once the program has ended: lets the removal go on for at most
// CLEANING_BOUND_MILLISECONDS, then stops it (platform_stop_removal, which
// also leaves this start's own folder of one start) and waits for its thread
// to end at its next entry; what is left waits for the next start.  Safe
// from any thread, and more than once.
void finish_cache_cleaning(void);

// Whether finish_cache_cleaning had to stop the removal, which stops every
// later one too.
bool cache_cleaning_cut_short(void);

static const unsigned CLEANING_BOUND_MILLISECONDS = 1500;

#endif
