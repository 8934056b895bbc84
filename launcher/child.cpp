#include "launcher/child.h"

#include <stdlib.h>

#include <mutex>

#include "image/config.h"
#include "launcher/cache_cleaning.h"
#include "launcher/command_line.h"
#include "payload/cache_cleaning.h"
#include "paths/fatal.h"
#include "platform/platform.h"

// The running child, or 0.  The main thread owns it: it alone releases it,
// and only under ChildLock, which the handler holds for as long as it uses
// the child.  So the child is released exactly once and never used after.
static platform_handle ChildProcessHandle;
static std::mutex ChildLock;
static bool ChildStarted;  // under ChildLock
// An event has ended this start before its child: none may be started
// after it, or it would run on without the launcher.  Under ChildLock.
static bool ChildRefused;

// The folders this start made for itself, removed once the child has ended:
// by the main thread after its wait, or by the console handler after the
// grace period, whichever comes first; the other one waits for it to finish,
// so that the launcher does not end in the middle.  A stop that comes while
// the main thread removes them ends that removal at its next entry: the
// handler waits for the end of a removal, not for a whole tree.
static bool StartFolderWanted;
static bool StartFolderRemoved;
static std::mutex StartFolderLock;

void remove_after_child(void) {
  std::lock_guard<std::mutex> guard(StartFolderLock);
  StartFolderWanted = true;
}

static void remove_start_folder(bool stopping) {
  std::unique_lock<std::mutex> guard(StartFolderLock, std::try_to_lock);
  if (!guard.owns_lock()) {
    if (stopping) platform_stop_removal();
    guard.lock();
  }
  if (!StartFolderWanted || StartFolderRemoved) return;
  StartFolderRemoved = true;
  // A cleaning cut short stopped every removal: the folder stays with its
  // record, which a later start's cleaning finds.
  if (cache_cleaning_cut_short()) return;
  // Its record goes first: the folders above it go only when empty.
  drop_own_record();
  platform_remove_made_folders(START_FOLDER_REMOVAL_MILLISECONDS);
}

uint32_t run_child(const wchar_t* application) {
  int count = 0;
  wchar_t* const* arguments = child_arguments(&count);
  platform_handle process = 0;
  {
    std::unique_lock<std::mutex> guard(ChildLock);
    if (ChildRefused) {
      // An event is ending the launcher by its default course: wait for it
      // rather than start a child that would outlive it.
      guard.unlock();
      platform_await_console_event();
      return 1;
    }
    if (!platform_start_child(application, CommandLineBuffer, arguments, count, &process)) {
      uint32_t error = platform_last_error();
      remove_start_folder(false);
      report_system_error("Error, couldn't launch child", error);
      exit(2);
    }
    ChildProcessHandle = process;
    ChildStarted = true;
  }
  start_cache_cleaning();
  if (process == 0) {
    // No handle to wait on: the child may still be using its files.
    return 0;
  }
  platform_wait_process(process, PLATFORM_WAIT_FOREVER);
  uint32_t exit_code = 0;
  if (!platform_process_exit_code(process, &exit_code)) {
    exit_code = 1;
  }
  {
    std::lock_guard<std::mutex> guard(ChildLock);
    ChildProcessHandle = 0;
    platform_release_process(process);
  }
  finish_cache_cleaning();
  remove_start_folder(false);
  return exit_code;
}

static void end_child(platform_console_event event) {
  std::lock_guard<std::mutex> guard(ChildLock);
  platform_handle process = ChildProcessHandle;
  if (process != 0) {
    platform_pass_event_to_child(process, event);
    if (!platform_wait_process(process, CHILD_GRACE_MILLISECONDS)) {
      platform_terminate_process(process, 0);
      // Ending takes a moment (Windows lets go of the program's file only
      // then); the event's default course ends the launcher after this.
      platform_wait_process(process, CHILD_GRACE_MILLISECONDS);
    }
  }
  if (!ChildStarted) ChildRefused = true;
  // No child yet: its folder stays for the start that is being ended.
  finish_cache_cleaning();
  if (ChildStarted) remove_start_folder(true);
}

// With the build option pass-interrupts, an interrupt or a break is the
// program's: it has received it itself (it shares the console, or the
// terminal's process group), or gets it passed on here when it was aimed at
// the launcher alone, and the launcher waits on for its end without a
// deadline.  True when the event is left to the child; false before any child
// was started, when there is no program to leave it to and the launcher ends
// by it.
static bool leave_to_child(platform_console_event event) {
  std::lock_guard<std::mutex> guard(ChildLock);
  if (!ChildStarted) {
    ChildRefused = true;
    return false;
  }
  // Once the child has ended, its exit status is what the launcher ends with.
  if (ChildProcessHandle != 0) platform_pass_event_to_child(ChildProcessHandle, event);
  return true;
}

bool console_control_handler(platform_console_event event) {
  switch (event) {
    case PLATFORM_CONSOLE_INTERRUPT:
    case PLATFORM_CONSOLE_BREAK:
      if (build_option(BUILD_OPTION_PASS_INTERRUPTS)) return leave_to_child(event);
      end_child(event);
      break;
    case PLATFORM_CONSOLE_CLOSE:
    case PLATFORM_CONSOLE_LOGOFF:
    case PLATFORM_CONSOLE_SHUTDOWN:
      end_child(event);
      break;
    default:
      break;
  }
  return false;
}
