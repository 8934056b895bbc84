// What the POSIX side's files share, and nothing more: the seam itself is
// platform.h, and everything not named here stays static in its file.
#ifndef ZOVARI_PLATFORM_POSIX_SHARED_H
#define ZOVARI_PLATFORM_POSIX_SHARED_H

#include <signal.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <wchar.h>

#include "platform/platform.h"

// ---- text.cpp

// Bytes that are not valid UTF-8 come in as U+DC80..U+DCFF and go out as the
// same bytes again, so that any file name or argument survives the trip.
static const size_t UTF8_CAPACITY = 4 * 32768 + 1;

// narrow's buffer, which a caller that needs the bytes again may fill
// itself.
extern char NarrowBuffer[UTF8_CAPACITY];

// Decodes UTF-8 into out (capacity units).  Returns the length, or
// (size_t)-1 when it does not fit.
size_t widen(const char* in, wchar_t* out, size_t capacity);

// Encodes into out (capacity bytes); false when it does not fit.
bool narrow_into(const wchar_t* in, char* out, size_t capacity);

// The launcher's own thread is the only one that converts paths, so one
// static buffer serves.  Null when the text cannot be converted.
const char* narrow(const wchar_t* text);

// The same as a heap copy the caller owns; null when it cannot be made.
char* narrow_copy(const wchar_t* text);

// ---- files.cpp

// Whether a file's owner is the user or root: another account could change
// what it holds after it was checked.
bool owner_trusted(const struct stat* status);

// ---- paths.cpp

// What an absolute path in an environment variable gives: the variable
// unset, empty or relative (look elsewhere), its path widened into out, or a
// path too long for out (the folder is known but cannot be given).
enum variable_folder { FOLDER_UNSET, FOLDER_FOUND, FOLDER_TOO_LONG };

variable_folder absolute_variable(const char* name, wchar_t* out, size_t capacity);

// ---- accounts.cpp

// The launcher is linked statically, and the C library's account lookups
// (getpwuid, getgrgid and their kin) would still load the modules that
// nsswitch.conf names; one of them (systemd's) crashes a static program for
// a uid without an entry.  So the account files are read here, as plain
// text: the entries of local accounts, which is all the launcher asks about.
// Calls visit with the fields of each line of an account file (/etc/passwd,
// /etc/group, /etc/gshadow), split at ':'.  Read directly, so that no NSS
// module is loaded into the static launcher.  A line of any length is read,
// as the C library reads it: one longer than the reader's buffer (a group of
// thousands of members) comes in parts, each with the same leading fields and
// a piece of the last field, a list of whole names; part counts them from 0.
// Says whether the file could not be opened, or was opened but cannot be
// read whole (a read fails, a field before the last or one name does not
// fit, a line holds more fields than expected): the caller then knows nothing
// about the accounts.
typedef void (*account_visitor)(char** fields, int count, int part, void* context);

enum account_file { ACCOUNTS_READ, ACCOUNTS_NOT_OPENED, ACCOUNTS_DAMAGED };

account_file each_account_line(const char* path, account_visitor visit, void* context);

// Reads an id field that starts with a digit and holds nothing else;
// false for anything else, or a value that does not fit.
bool parse_id(const char* text, unsigned long* value);

// Whether an id field is plain digits, all that parse_id reads.  The C
// library reads more: it skips blanks and takes a sign (" 1001" and "+1001"
// are 1001), so a field of any other form may give an account an id that
// parse_id does not see.
bool plain_id(const char* text);

// ---- trust.cpp

// Whether gid is this user's private group, as Debian and Ubuntu give every
// user one: the primary group of this user's entry, nobody else's primary
// group, and with no member but this user.  Group write on such a folder is
// harmless, which a umask of 002 makes common (~/.cache at 0775).  Only the
// local account files count: a group they do not describe fully is taken as
// shared, and so is one that the system may give members beyond them
// (another source in nsswitch.conf, a systemd-userdb record that names it).  /etc/gshadow counts where it can be read (as root): elsewhere the
// members that /etc/group lists stand for all, as the system's tools write
// each member to both files, and only root can write either.  Read once per
// group, since most folders share one.
bool private_group(gid_t gid);

// Widens a path for a message, cut to fit.
void widen_cut(const char* text, wchar_t* out, size_t capacity);

// ---- inside.cpp

// The folder last entered below the target directory, when it holds path
// directly: its descriptor, with *leaf set to the file's name in it as
// bytes; AT_FDCWD, with *leaf the whole path, otherwise.  Null *leaf when
// the text cannot be converted.
int folder_holding(const wchar_t* path, const char** leaf);

// Closes the folders held below the target directory, all but the first
// depth of them (0: every one).
void let_go_below(size_t depth);

// ---- removal.cpp

// Holds the folder at path, which platform_secure_directory has just made,
// for platform_remove_made_folders; forget_made_folders lets go of those held.
void note_made_folder(const char* path);
void forget_made_folders(void);

// ---- arguments.cpp

// What the launcher's parent gave it, for the child to get the same: the
// blocked signals and whether SIGXFSZ was ignored.
extern sigset_t InheritedMask;

extern bool FileSizeSignalIgnored;

// ---- processes.cpp

// The signals that stand for console control events.
static const int ConsoleSignals[4] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

#endif
