#include "launcher/cache_cleaning.h"

#include <atomic>

#include "payload/cache_cleaning.h"
#include "platform/platform.h"

// Plain atomics only: the launcher ends with the thread still running when
// it has not finished in time, and nothing of it may be torn down at exit.
static std::atomic<bool> Started;
static std::atomic<bool> Stopping;
static std::atomic<bool> Done;
static std::atomic<bool> CutShort;
static bool Armed;

static bool go_on(void) {
  return !Stopping.load();
}

static void clean(void) {
  clean_other_builds(go_on);
  Done.store(true);
}

void arm_cache_cleaning(void) {
  Armed = true;
}

void start_cache_cleaning(void) {
  if (!Armed || Started.exchange(true)) return;
  // Without a thread there is no cleaning this time; the next start tries.
  if (!platform_start_thread(clean)) Done.store(true);
}

static bool wait_done(unsigned milliseconds) {
  for (unsigned waited = 0; !Done.load(); waited += 10) {
    if (waited >= milliseconds) return false;
    platform_sleep(10);
  }
  return true;
}

void finish_cache_cleaning(void) {
  if (!Started.load()) return;
  if (!wait_done(CLEANING_BOUND_MILLISECONDS)) {
    // The folder in hand is left where the removal stops, set aside with its
    // record for the next start; so is this start's own folder of one start,
    // whose record says it is one.  The thread ends at its next entry, and
    // is waited for: the removal keeps its state in one place.
    Stopping.store(true);
    CutShort.store(true);
    platform_stop_removal();
    wait_done(~0u);
  }
  Stopping.store(true);
}

bool cache_cleaning_cut_short(void) {
  return CutShort.load();
}
