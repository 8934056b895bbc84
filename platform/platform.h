// The launcher's one seam to the operating system.
//
// The core (launcher/, payload/, paths/) calls only the functions declared
// here and never includes a system header of its own.  Two implementations
// exist, chosen by the build: win32/ (the shipped product) and posix/ (the
// Linux port), each one file per concern.  Paths and environment values cross this seam as
// NUL-terminated wchar_t text: UTF-16 on Windows, code points on Linux, where
// the POSIX layer converts to and from UTF-8 at the system boundary.
//
// This is the only header that reads the OS macros.
#ifndef ZOVARI_PLATFORM_H
#define ZOVARI_PLATFORM_H

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#if defined(_WIN32)
#define ZOVARI_PLATFORM_WIN32 1
#elif defined(__linux__)
#define ZOVARI_PLATFORM_POSIX 1
#else
#error "unsupported platform"
#endif

// The separator that joins path components on this system.  Payload names
// always use "\"; the core turns each one into this unit.
#if ZOVARI_PLATFORM_WIN32
static const wchar_t PLATFORM_SEPARATOR = L'\\';
#else
static const wchar_t PLATFORM_SEPARATOR = L'/';
#endif

// Whether a child is started from one command line (Windows, where the
// system bounds it at 32767 units) rather than from a vector of arguments,
// which only the system's own limit bounds (POSIX).
#if ZOVARI_PLATFORM_WIN32
static const bool PLATFORM_CHILD_TAKES_COMMAND_LINE = true;
#else
static const bool PLATFORM_CHILD_TAKES_COMMAND_LINE = false;
#endif

// An open file or a process, as the system names it (a HANDLE, or a file
// descriptor / process id).  0 never names one.
typedef intptr_t platform_handle;

// --- Errors ---------------------------------------------------------------

// The calling thread's last system error code (GetLastError or errno).
uint32_t platform_last_error(void);

// The system's text for an error code, as a heap string the caller may change
// and never frees; null when the system has no text for it.
char* platform_error_text(uint32_t code);

// The text as bytes for a message, UTF-8 on both systems (POSIX gives back
// the very bytes of a name that was not UTF-8), as a heap string that is
// never freed; null when there is no memory for it.  Messages print paths
// through it, so that no character the C run-time cannot convert cuts a line
// short.
char* platform_display_text(const wchar_t* text);

// --- Files ----------------------------------------------------------------

// Creates the file, or truncates an existing one to length 0, for writing.
// Other processes may open it for writing meanwhile, and for reading only
// when let_readers_in (Windows; POSIX cannot keep readers out).  Returns 0 on
// failure.  On POSIX the file gets mode 0666, or 0777 when executable, less
// the umask and less any write for group or others (root's 0644 or 0755, see
// creation_mask.h), whether it is new or was
// there before.  A file there is written over only when it is a plain file of
// the user's with no other name that the user may write and nobody else may;
// anything else (a link, never followed, a named pipe, a device, a socket,
// another account's file, one with other names or that others can write, a
// read-only one, an empty folder) is replaced by a new file, so that what
// else it stands for stays unchanged.  A folder that holds anything stays,
// and the open fails.
platform_handle platform_create_file(const wchar_t* path, bool executable, bool let_readers_in);

// Writes all of size bytes; false on any failure (the error is left for
// platform_last_error).
bool platform_write_file(platform_handle file, const void* data, uint32_t size);

void platform_close_file(platform_handle file);

// Reading a whole regular file for its checksum, one piece at a time.
struct platform_file_reader {
  const unsigned char* data;  // the piece just read, valid until the next call
  uint64_t size;
  platform_handle file;
  uint64_t offset;            // how much of the file has been read
  uint64_t length;            // the file's length when it was opened
};

// Opens the file at path for reading, letting others read, write or delete
// it meanwhile.  False, with nothing left open, when the file is missing,
// not a regular file (a link is not followed), empty, owned by another
// account than the user or the system's, or writable by another account
// (either could change it after it is checked), or cannot be opened.
bool platform_open_reader(const wchar_t* path, platform_file_reader* reader);

// True when a regular file of length 0 of the user's or the system's, that
// no other account can write, stands at path (a link, a directory or a
// device is none, and is not followed).
bool platform_is_empty_file(const wchar_t* path);

// Reads the next piece of the contents.  False at the end, and on a read
// failure, which *failed reports.  Both systems read the file in pieces
// through one buffer: a mapped file that another process cuts short
// meanwhile would end the launcher with SIGBUS or an access violation.
bool platform_read_next(platform_file_reader* reader, bool* failed);

// Releases what platform_open_reader opened.
void platform_close_reader(platform_file_reader* reader);

// Lets the system drop the whole pages inside [start, start + length) of
// the image's read-only data from the process's memory.  The caller never
// reads them again.
void platform_release_pages(const void* start, size_t length);

// --- Directories and paths ------------------------------------------------

enum platform_directory_result {
  PLATFORM_DIRECTORY_CREATED,
  PLATFORM_DIRECTORY_EXISTS,  // something already stands at the path
  PLATFORM_DIRECTORY_FAILED
};

// Creates one directory whose parent exists, for this user alone (POSIX mode
// 0700; root's 0755, see creation_mask.h).
platform_directory_result platform_create_directory(const wchar_t* path);

// Writes count UTF-16 units (a payload name) at out as this system's wide
// text, NUL-terminated; out holds at least 3 * count + 1 units.  Windows takes
// the units as they are; POSIX joins each surrogate pair into its code point
// and writes a lone surrogate as the three bytes its value would take in
// UTF-8, so that different names never meet in one file.  Returns the
// characters written.
size_t platform_wide_from_utf16(const uint16_t* units, size_t count, wchar_t* out);

// Writes at key a spelling of name (a path relative to a directory, of
// wcslen(name) + 1 units with its NUL) under which any two names that this
// system may take for one file are equal.  False when the name may reach a
// file that its spelling does not show: an empty, "." or ".." component;
// on Windows also a short-name alias ("~"), a stream (":"), a device name
// ("NUL", "COM1.txt"), a component that ends in a dot or a space, or a unit
// that no file name may hold.  Windows folds case coarsely: every unit
// beyond ASCII, and the ASCII letters that have a case partner beyond it
// ("i", "s", "k"), become one unit.
bool platform_name_key(const wchar_t* name, wchar_t* key);

// True for a path that names a volume root by itself and needs no creation
// ("C:" on Windows; never on POSIX, whose root "/" always exists anyway).
bool platform_is_bare_root(const wchar_t* path);

// The absolute, normalised form of path ("." and ".." resolved, relative
// paths taken against the current directory).  Returns the units written
// without the NUL, 0 on failure, or a count >= capacity when it does not fit.
size_t platform_full_path(const wchar_t* path, wchar_t* out, size_t capacity);

// The temporary-files directory written at out.  Returns the units written
// without the NUL; 0 on failure or when it does not fit in capacity.
size_t platform_temp_directory(wchar_t* out, size_t capacity);

// The running executable's full path written at out, as the system reports
// it (links not resolved).  Returns the units written, 0 on failure.  A path
// longer than capacity - 1 is cut to fit (Windows; the count is then
// capacity, even where only the terminator fit) or refused (POSIX).
size_t platform_executable_path(wchar_t* out, size_t capacity);

// The user's profile folder and the per-user cache folder, written into a
// buffer of capacity units.  False when the system cannot say or it does not fit.
// PLATFORM_FOLDER_CAPACITY holds any folder they give, with its NUL: on
// Windows the shell's folder paths fit a value buffer of 1024 units; on Linux
// HOME and XDG_CACHE_HOME may be any legal path, up to the system's PATH_MAX.
#if ZOVARI_PLATFORM_WIN32
static const size_t PLATFORM_FOLDER_CAPACITY = 1024;
#else
static const size_t PLATFORM_FOLDER_CAPACITY = PATH_MAX;  // with its NUL
#endif
bool platform_profile_directory(wchar_t* out, size_t capacity);
bool platform_cache_directory(wchar_t* out, size_t capacity);

// Keeps other launchers from writing into directory while this one does:
// waits up to milliseconds until no other process holds the directory's lock.
// The lock is tied to the folder itself, so every spelling of its path meets
// the same one, and it leaves nothing in the folder: POSIX takes flock on a
// file named after the folder's device and inode in the user's private
// runtime folder, or where there is none (and for a folder of one start,
// platform_lock_folders_per_start) on the folder's own descriptor;
// Windows a mutex named after the folder's volume serial number and file
// index.  It ends with platform_unlock_directory or
// with the process, however that ends.  Returns 0 when the lock cannot be had
// in that time or at all; the caller then goes on without it.
platform_handle platform_lock_directory(const wchar_t* directory, uint32_t milliseconds);

void platform_unlock_directory(platform_handle lock);

// Why a folder cannot be trusted to hold the programs the launcher starts.
enum platform_trust {
  PLATFORM_TRUSTED,           // only this user and the system can change it
  PLATFORM_NOT_OWNED,         // it belongs to another account
  PLATFORM_OTHERS_CAN_WRITE,  // another account can add, replace or rename what it holds
  PLATFORM_TRUST_UNREADABLE,  // its owner or permissions cannot be read
  PLATFORM_NOT_MADE,          // it is missing and cannot be made
  PLATFORM_NOT_ENTERED        // the user may not enter it: no harm, but nothing in it can be used
};

// Makes directory and every missing folder above it, each for this user
// alone (as platform_create_directory does), then judges the whole chain:
// nobody but the user running the launcher (and the system's own accounts)
// may be able to change directory, or replace or rename it through a folder
// above it.  A missing folder is never taken on trust: one this call makes is
// the user's by its making, one that appears meanwhile is judged like any
// other.  Once this returns PLATFORM_TRUSTED no other account can change what
// the path names.  On anything else writes the folder at fault into culprit
// (capacity units, cut to fit): for PLATFORM_NOT_MADE the folder that could
// not be made.  *made tells whether this call made directory itself.
platform_trust platform_secure_directory(const wchar_t* directory, wchar_t* culprit,
                                         size_t capacity, bool* made);

// --- Removing folders ------------------------------------------------------

// Removes name, a folder directly inside the folder held by parent
// (platform_hold_folder), with everything in it, working below parent by
// descriptors (handles) relative to it: a link inside is removed itself,
// never followed (under Wine, which opens a Unix link as what it leads to,
// a link is left), a folder that another file system is mounted on (POSIX)
// is left whole, and nothing renamed or swapped meanwhile leads it out of
// the tree.  A name that is a link, or no folder, is left.  What cannot be
// removed (a file another process holds on Windows, a folder that may not
// be searched) is left, and so are the folders that hold it.  Gives up
// after milliseconds, or at once after platform_stop_removal.  True when
// name is gone.
bool platform_remove_tree_at(platform_handle parent, const wchar_t* name, uint32_t milliseconds);

// Holds the folder at path for platform_remove_tree_at (its path is taken
// on trust, links included); 0 when it cannot be opened.
platform_handle platform_hold_folder(const wchar_t* path);
void platform_release_folder(platform_handle folder);

// Removes directory, by its path's last component inside the folder its path
// leads to, as platform_remove_tree_at does.  The folders held below the
// target directory are let go first.
void platform_remove_directory_tree(const wchar_t* directory, uint32_t milliseconds);

// Removes the folders that the last platform_secure_directory made, the
// target directory with everything in it first, then each folder above it
// that the call made, while it is empty: each is worked on from a descriptor
// (handle) held since it was made, so that a folder the child renamed away,
// or a link it put in the place of one, leads the removal nowhere else, and
// a folder goes by its name only while that name still leads to it.  Gives
// up after milliseconds, or at once after platform_stop_removal, leaving what
// is left.  The folders held below the target directory are let go first.
void platform_remove_made_folders(uint32_t milliseconds);

// Lets go of the folders platform_secure_directory made, without removing
// them (a program that unpacks more than once: the fuzzing harness).
void platform_forget_made_folders(void);

// Ends a removal running on another thread at its next entry, and makes
// every later one end at once: a stop signal must not wait for a large tree.
void platform_stop_removal(void);

// The target directory is one start's own ({PID}, {TIME}, {TIME_US},
// {RANDOM}): its lock is taken on the folder itself and leaves nothing
// behind (POSIX: flock on its own descriptor, no file in the runtime
// folder; Windows keeps its mutex, which ends with the process).
void platform_lock_folders_per_start(void);

// --- Below the target directory ----------------------------------------------

// Opens, and holds, every folder from the target directory (path's first
// target_length units, already judged by platform_secure_directory) down to
// the folder that ends at path[length], each relative to the one above it
// and without following a link; folders held for the folder entered before
// are kept, so that files sorted by name cost one look per folder.  Each
// folder must be a real folder (no symbolic link; on Windows no junction or
// other reparse point) of the user's or the system's that nobody else can
// write to.  A link that stands where a folder belongs is removed, never what
// it leads to, and a folder made in its place.  Until another folder is
// entered, the file functions above reach a file directly inside this one
// through the held folder (POSIX: relative to its descriptor; Windows: by a
// path whose folders are held open without letting them be renamed or
// deleted), so a link planted on the way meanwhile redirects nothing.
// PLATFORM_NOT_MADE when a folder on the way is missing or is no folder;
// another result than PLATFORM_TRUSTED writes the folder at fault into
// culprit (capacity units, cut to fit).
platform_trust platform_enter_folder(const wchar_t* path, size_t target_length, size_t length,
                                     wchar_t* culprit, size_t capacity);

// Lets go of every folder that platform_enter_folder holds.  The launcher
// holds them until it ends; a program that unpacks more than once (the
// fuzzing harness) lets go between starts.
void platform_leave_folders(void);

// --- Quick start --------------------------------------------------------------

// What any change made through the file system alters in a file or folder.
enum platform_facts_kind { PLATFORM_FACTS_FILE, PLATFORM_FACTS_FOLDER, PLATFORM_FACTS_OTHER };

struct platform_file_facts {
  platform_facts_kind kind;  // a symbolic link, a junction, a device: other
  uint64_t size;
  uint64_t change_time;  // POSIX st_ctim, Windows ChangeTime: no program sets it back
  uint64_t write_time;
  uint64_t identity;     // the inode, or the NTFS file index
  uint64_t volume;
  uint64_t access;       // POSIX owner and mode, Windows attributes
  // Who else may change it, as the full start judges a folder: POSIX its
  // group and, for a folder, a digest of its access list; Windows a digest of
  // the owner and access list of the folder that lists it.  A folder's times
  // are not folded, so these are what show a folder handed to another group
  // or opened to another account.
  uint64_t guard;
};

// The facts of what stands at path, a link not followed, without opening it.
// path[0 .. base) is the walk's root folder and its separator, judged
// already; name_start is where the last component begins (behind the
// separator).  POSIX reads them with one fstatat from the root's descriptor,
// opened once per walk; Windows lists the folder the first time
// one of its entries is asked for (one GetFileInformationByHandleEx walk on
// the folder's handle) and keeps the listings of the folders on the way to
// the last path asked for, so a walk in name order lists each folder once.
// False when nothing stands there or the facts cannot be had.
bool platform_read_facts(const wchar_t* path, size_t base, size_t name_start, platform_file_facts* facts);

// Drops the listings kept for platform_read_facts: what was listed before
// may have changed since.
void platform_forget_facts(void);

// The facts of the file open at file (from platform_create_file, or a
// reader's), read from the open file itself: kind, size, times and identity
// as platform_read_facts reports them for the same file; volume, access and
// guard are left out.  False when they cannot be had (a Windows file opened
// for writing alone may not show them).
bool platform_handle_facts(platform_handle file, platform_file_facts* facts);

// The clock that change times follow, in their units (POSIX nanoseconds,
// Windows 100 ns since 1601), never ahead of the time a change made now
// would get.
uint64_t platform_facts_clock(void);

// Whether any change made at clock or later moves change_time: the clock's
// tick that change_time fell in, and the file system's coarser grain (a
// change time on a whole second or on 10 ms), had passed by clock.  A file
// changed again within the tick of its last change keeps its change time.
bool platform_change_time_settled(uint64_t change_time, uint64_t clock);

// Reads exactly size bytes from the stamp file at path, opened without
// following a link.  False unless it is a regular file of exactly that size
// with one link, owned by this user (or the system), that no other account
// can write (POSIX: no group or other write bit).
bool platform_read_stamp(const wchar_t* path, unsigned char* data, size_t size);

// Replaces the stamp file at path with size bytes, atomically: they are
// written to the path with ".new" appended, made for this user alone, and
// renamed over it, so a start ended at any moment leaves the old stamp, none,
// or the new one.  The caller holds the folder's lock, so a ".new" file that
// lies there was left by an ended start.  False when it cannot be written.
bool platform_write_stamp(const wchar_t* path, const unsigned char* data, size_t size);

// Removes the stamp file at path, if there is one.
void platform_remove_stamp(const wchar_t* path);

// --- Cache cleaning ---------------------------------------------------------

// A launcher built to clean its cache keeps a record beside its folder
// ("<folder>.zovari-build") that says which product and build made it, and
// holds that record for as long as it runs: shared by every launcher that
// runs from the folder, taken whole only by the one that removes the folder.
// A record is judged as the quick start's stamp is: a regular file with one
// link, of this user's, that no other account can write.

// Holds the record at path, making it for this user alone when it is
// missing: POSIX takes a shared flock on it, Windows keeps it open without
// delete sharing.  A record that a removal has taken whole is waited for, at
// most a moment, and looked for again at path, since the removal sets it
// aside; once this returns, the record it holds is the one at path and no
// removal can take it.  0 when it cannot be had (a record that is not judged
// sound, a removal that does not let go); the start then goes on without it.
platform_handle platform_hold_record(const wchar_t* path);

// Reads exactly size bytes from the start of a held or claimed record; false
// for a record of another size.
bool platform_read_record(platform_handle record, unsigned char* data, size_t size);

// Writes the held record's size bytes in place.  A removal reads a record
// only when it has taken it whole, so it never sees half of one.
bool platform_write_record(platform_handle record, const unsigned char* data, size_t size);

// Lets go of a held or claimed record.
void platform_release_record(platform_handle record);

// Takes the record at path whole, without waiting: POSIX an exclusive flock,
// Windows an open that shares nothing and may delete it.  0 when any
// launcher holds it, when it is no record that is judged sound (a link is
// not followed), or when path no longer names it once it is taken.
platform_handle platform_claim_record(const wchar_t* path);

enum platform_aside_result {
  PLATFORM_ASIDE_DONE,
  PLATFORM_ASIDE_MISSING,  // nothing stands at the folder's path
  PLATFORM_ASIDE_REFUSED   // a link, another account's, no folder, held, or aside is taken
};

// Renames the folder at path, in a folder already judged, to aside in the
// same folder, never following a link and never over something that stands
// at aside.  Only a real folder (no link, no junction) of this user's is
// moved; on Windows a folder that any process holds without delete sharing
// (a launcher running from it) cannot be, and is left.
platform_aside_result platform_set_folder_aside(const wchar_t* path, const wchar_t* aside);

// Removes a claimed record that now stands at path, and lets go of it.
void platform_remove_record(platform_handle record, const wchar_t* path);

// Calls visit with the name of each entry of folder (".." and "." left out)
// until it returns false.  False when the folder cannot be listed.  Safe on a
// thread of its own beside the launcher's.
bool platform_list_folder(const wchar_t* folder, bool (*visit)(const wchar_t* name, void* context),
                          void* context);

// --- Environment ------------------------------------------------------------

// Copies the variable's value into out.  Returns its length in units; 0 when
// the variable is unset, empty, or longer than capacity - 1.
size_t platform_get_environment(const wchar_t* name, wchar_t* out, size_t capacity);

// Sets the variable, or removes it when value is null.  False on failure.
bool platform_set_environment(const wchar_t* name, const wchar_t* value);

// --- Process identity, time ---------------------------------------------------

uint32_t platform_process_id(void);

// The system time as a signed count of 100-nanosecond intervals since
// 1601-01-01 UTC.
int64_t platform_system_time(void);

// A high-resolution counter value (QueryPerformanceCounter; CLOCK_MONOTONIC
// nanoseconds on POSIX).
int64_t platform_performance_counter(void);

// --- Start-up -----------------------------------------------------------------

// Takes the current directory out of the library search order (Windows);
// nothing on POSIX.
void platform_narrow_library_search(void);

// False when the launcher's file is shorter than the image it was built as
// (a download cut short), so that parts of the image have nothing behind
// them.  Tells without reading the file.  Windows does not start such a file.
bool platform_image_is_whole(void);

// The bytes from address to the end of the part of the launcher's image that
// holds it (its ELF segment or PE section), as the loader mapped that part:
// what may be read there whatever the part's own contents say.  0 when no
// part holds address.
uint64_t platform_image_part_size(const void* address);

// Element 0 of the launcher's argument vector as the C run-time received it.
const wchar_t* platform_argument_zero(void);

// The launcher's own arguments split by the system's rules from its full
// command line (Windows: CommandLineToArgvW over GetCommandLineW, a line that
// needs none of its quoting rules split by the same rules without loading
// shell32; POSIX: the argument vector).  The array lives until the process ends.  Null when the
// system cannot provide it.
wchar_t** platform_launcher_arguments(int* count);

// --- Child process and console control ------------------------------------------

// Starts the program at application with the launcher's standard handles,
// inheritable handles, environment and current directory.  Windows passes
// command_line (which the system may modify); POSIX passes arguments[0 ..
// count-1], empty ones left out.  Returns false, with the error left for
// platform_last_error, when the program cannot be started.  *process is 0
// when the system gave no handle for a started child.
bool platform_start_child(const wchar_t* application, wchar_t* command_line,
                          wchar_t* const* arguments, int count,
                          platform_handle* process);

// Waits for the process to end, up to milliseconds (PLATFORM_WAIT_FOREVER
// for no limit).  True when it has ended.  Does not release the process.
static const uint32_t PLATFORM_WAIT_FOREVER = 0xFFFFFFFFu;
bool platform_wait_process(platform_handle process, uint32_t milliseconds);

// The exit code of an ended process; false when it cannot be read.  On POSIX
// a child ended by signal N reports 128 + N, as shells do, and
// platform_end_as_the_child_ended then ends the launcher by N itself.
bool platform_process_exit_code(platform_handle process, uint32_t* code);

void platform_terminate_process(platform_handle process, uint32_t exit_code);

// Releases the process (CloseHandle; reaping on POSIX).  Called once.
void platform_release_process(platform_handle process);

// Runs run on a thread of its own, which nobody waits for: it ends with the
// process if it has not ended before.  False when no thread can be made
// (the caller then goes without what it would have done).
bool platform_start_thread(void (*run)(void));

// Pauses the calling thread for milliseconds.
void platform_sleep(uint32_t milliseconds);

// The console control events the launcher is told of, in its own terms.
// Windows reports them by its console control codes; POSIX maps SIGINT to
// interrupt, SIGQUIT to break, SIGHUP to close and SIGTERM to shutdown.
enum platform_console_event {
  PLATFORM_CONSOLE_INTERRUPT,
  PLATFORM_CONSOLE_BREAK,
  PLATFORM_CONSOLE_CLOSE,
  PLATFORM_CONSOLE_LOGOFF,
  PLATFORM_CONSOLE_SHUTDOWN
};

// What the launcher has run for each console control event.  False: the
// event then takes its default course and ends the launcher; true: the event
// is handled and the launcher goes on.
typedef bool (*platform_console_handler)(platform_console_event event);

// Hands a console control event to the child where the system has not done so
// itself (POSIX: a signal sent to the launcher alone is passed on; one from the
// terminal already reached the child's process group).  Nothing on Windows,
// where the child shares the console.
void platform_pass_event_to_child(platform_handle process, platform_console_event event);

// Arranges for handler to be called, on a thread of its own, for each console
// control event (Windows: SetConsoleCtrlHandler; POSIX: SIGINT, SIGQUIT,
// SIGHUP and SIGTERM); codes that stand for none of the five are not handed
// on.  When the handler returns false the event takes its default course and
// ends the launcher (Windows: the handler returns FALSE; POSIX: the launcher
// ends by the signal); true drops it.  False when it cannot be arranged.
// Called once.
bool platform_register_console_handler(platform_console_handler handler);

// Ends the process at once, as abort does, and shows nothing: exit code 3 on
// Windows, where the C run-time's abort would wait on a message box in a
// windowless program; SIGABRT on POSIX.
[[noreturn]] void platform_abort(void);

// --- Entry (used by the launcher's entry and the test programs only) ---------

// Keeps the C run-time's argument vector for platform_argument_zero and
// platform_launcher_arguments, and sets a UTF-8 character type for messages
// (POSIX).  Nothing on Windows, where the system keeps both itself.  POSIX
// also notes what a child must get back (the blocked signals, SIGXFSZ's
// disposition), ignores SIGXFSZ so that a write past the file size limit
// fails instead of ending the launcher, and holds any of descriptors 0 to 2
// that came closed, until exec, so that no file of the launcher takes one.
// Called first.
void platform_keep_arguments(int count, char** arguments);

// Sees to it that nothing in the launcher's own process waits on a click: the
// C run-time's abort and a crash end it at once, without a window, and the
// system's boxes for an unready drive are off on the calling thread.  Nothing
// on POSIX, which shows no such boxes.
void platform_refuse_dialogs(void);

// Called with launcher_main's result.  Waits for the console events already
// being handled; where one of them is ending the launcher, waits for it to do
// so, so that the launcher ends the way the event's default handling ends it;
// otherwise returns.
void platform_await_console_event(void);

// Called last, with launcher_main's result about to become the exit code.
// Where the child was ended by a signal (POSIX), ends the launcher by the
// same signal, its default action and without a core dump of the launcher's
// own, so that the launcher's parent sees what a direct start would show;
// otherwise returns.  Nothing on Windows, where an exit code is all a process
// leaves.
void platform_end_as_the_child_ended(void);

#endif
