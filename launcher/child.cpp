#include "launcher/child.h"

#include <stdlib.h>

#include <mutex>

#include "launcher/cache_cleaning.h"
#include "launcher/command_line.h"
#include "paths/fatal.h"
#include "platform/platform.h"

// The running child, or 0.  The main thread owns it: it alone releases it,
// and only under ChildLock, which the handler holds for as long as it uses
// the child.  So the child is released exactly once and never used after.
static platform_handle ChildProcessHandle;
static std::mutex ChildLock;
static bool ChildStarted;  // under ChildLock

// The folder this start made for itself, removed once the child has ended:
// by the main thread after its wait, or by the console handler after the
// grace period, whichever comes first; the other one waits for it to finish,
// so that the launcher does not end in the middle.
static const wchar_t* StartFolder;
static bool StartFolderRemoved;
static std::mutex StartFolderLock;

void remove_after_child(const wchar_t* directory) {
  std::lock_guard<std::mutex> guard(StartFolderLock);
  StartFolder = directory;
}

static void remove_start_folder(void) {
  std::lock_guard<std::mutex> guard(StartFolderLock);
  if (StartFolder == nullptr || StartFolderRemoved) return;
  StartFolderRemoved = true;
  platform_remove_directory_tree(StartFolder);
}

uint32_t run_child(const wchar_t* application) {
  int count = 0;
  wchar_t* const* arguments = child_arguments(&count);
  platform_handle process = 0;
  {
    std::lock_guard<std::mutex> guard(ChildLock);
    if (!platform_start_child(application, CommandLineBuffer, arguments, count, &process)) {
      uint32_t error = platform_last_error();
      remove_start_folder();
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
  remove_start_folder();
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
  // No child yet: its folder stays for the start that is being ended.
  finish_cache_cleaning();
  if (ChildStarted) remove_start_folder();
}

bool console_control_handler(platform_console_event event) {
  switch (event) {
    case PLATFORM_CONSOLE_INTERRUPT:
    case PLATFORM_CONSOLE_BREAK:
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
