#include "launcher/cache_cleaning.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "payload/cache_cleaning.h"

// Plain atomics only: the launcher ends with the thread still running when
// it has not finished in time, and nothing of it may be torn down at exit.
static std::atomic<bool> Started;
static std::atomic<bool> Stopping;
static std::atomic<bool> Done;
static bool Armed;
static bool PerStart;

static bool go_on(void) {
  return !Stopping.load();
}

static void clean(void) {
  clean_other_builds(go_on);
  Done.store(true);
}

void arm_cache_cleaning(bool per_start) {
  Armed = true;
  PerStart = per_start;
}

void start_cache_cleaning(void) {
  if (!Armed || Started.exchange(true)) return;
  std::thread cleaner(clean);
  cleaner.detach();
}

static bool wait_done(unsigned milliseconds) {
  for (unsigned waited = 0; !Done.load(); waited += 10) {
    if (waited >= milliseconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void finish_cache_cleaning(void) {
  if (!Started.load()) return;
  bool done = wait_done(CLEANING_BOUND_MILLISECONDS);
  Stopping.store(true);
  if (done || !PerStart) return;
  // The start's own folder is removed next, by the same removal, which one
  // thread at a time may run.
  wait_done(~0u);
}
