// Starting and supervising the main binary, and the console control handler
// that ends it when the launcher is told to stop.
#ifndef ZOVARI_LAUNCHER_CHILD_H
#define ZOVARI_LAUNCHER_CHILD_H

#include <stdint.h>
#include <wchar.h>

#include "platform/platform.h"

// How long a child may take to end by itself after a console event.
static const uint32_t CHILD_GRACE_MILLISECONDS = 5000;

// Starts application with CommandLineBuffer (or the child arguments), waits
// for it without a limit and returns its exit code: all 32 bits, 1 when it
// cannot be read, 0 when the system gave no process handle.  When a console
// event has already ended this start, starts nothing and waits for the
// event to end the launcher.  A child that
// cannot be started is reported ("Error, couldn't launch child") and the
// launcher exits with 2.
uint32_t run_child(const wchar_t* application);

// How long the removal of a start's own folders may take: the child's
// helpers may go on writing into them, and the launcher must still end.
static const uint32_t START_FOLDER_REMOVAL_MILLISECONDS = 30000;

// Has the folders this start made for its target directory removed
// (platform_remove_made_folders) once the child has ended, or could not be
// started, before the launcher ends: after run_child's wait, or after a
// console event's grace period.  A console event that comes during the
// removal ends it promptly.
void remove_after_child(void);

// Handed to the platform, which calls it on a thread of its own for each
// console control event.  For interrupt, break, close, logoff and shutdown it
// ends a running child: up to 5000 ms to end by itself, then terminated with
// exit code 0; and returns false, so the event goes on to the system's
// default handling, which ends the launcher.  An event before the child
// was started keeps it from being started.  With the build option
// pass-interrupts, an interrupt or a break that comes once the child was
// started is left to the child (passed on when it was aimed at the launcher
// alone) and the handler returns true: the launcher waits on and ends with
// the child's exit status.
bool console_control_handler(platform_console_event event);

#endif
