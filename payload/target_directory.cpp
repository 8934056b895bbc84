#include "payload/target_directory.h"

#include "paths/bounded.h"
#include "paths/fatal.h"
#include "payload/cache_cleaning.h"
#include "platform/platform.h"

static bool TargetDirectoryMade;

// Ensure, then judge, then use: makes the target directory and whatever is
// missing above it, each folder the user's alone, then ends the launcher
// unless the whole chain is trusted.  Only then is any file in it checked, so
// no folder that another account put in place, or can still swap, is ever
// read from, written to or started from.  A folder that cannot be made ends
// the start with the open failure's message, naming file, the first one the
// start must have there (that folder where file is null).  True when it made
// the target directory just now.
static bool judge_target_directory(const wchar_t* target_directory, const wchar_t* file) {
  static wchar_t culprit[PATH_CAPACITY];
  bool made = false;
  platform_trust trust = platform_secure_directory(target_directory, culprit, PATH_CAPACITY, &made);
  TargetDirectoryMade = TargetDirectoryMade || made;
  if (trust == PLATFORM_NOT_MADE) fail_open_for_writing(file != nullptr ? file : culprit);
  if (trust != PLATFORM_TRUSTED) fail_unsafe_directory(culprit, trust);
  return made;
}

void secure_target_directory_for(const wchar_t* target_directory, const wchar_t* file) {
  const bool made = judge_target_directory(target_directory, file);
  // A cleaning launcher holds its folder before any file is checked; one
  // that another start's cleaning set aside just before is made anew.  A
  // folder this start has just made had no record that a cleaning could
  // take, and is judged once: judging again would forget which folders
  // this start made, whose removal a folder of one start needs.
  if (hold_cache_folder(target_directory, made) && !made) judge_target_directory(target_directory, file);
}

void secure_target_directory(const wchar_t* target_directory) {
  secure_target_directory_for(target_directory, nullptr);
}

bool target_directory_made(void) {
  return TargetDirectoryMade;
}

void forget_target_directory(void) {
  TargetDirectoryMade = false;
}
