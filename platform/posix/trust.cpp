// Trust: the walk that makes and judges every folder of the target's
// chain, and whose a group is.
#include "platform/platform.h"

#if ZOVARI_PLATFORM_POSIX

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/creation_mask.h"
#include "platform/posix/shared.h"

// What the account files say about one group.
struct group_census {
  unsigned long gid;
  char user[256];       // this user's name, from /etc/passwd
  char name[256];       // the group's name, from /etc/group
  bool user_has_it;     // it is this user's primary group
  bool others_have_it;  // another account has it as primary group or belongs to it
  bool listed;          // /etc/group lists it
  bool unknowable;      // an entry merged in from elsewhere (NIS "+"/"-" lines), an id
                        // field the C library may read otherwise, a second name
};

static void count_primary_group(char** fields, int count, int part, void* context) {
  group_census* census = (group_census*)context;
  unsigned long uid, gid;
  if (part > 0) return;  // a long shell field: nothing of it counts
  if (fields[0][0] == '+' || fields[0][0] == '-') census->unknowable = true;
  if (count < 4) return;
  if (!plain_id(fields[2]) || !plain_id(fields[3])) census->unknowable = true;
  if (!parse_id(fields[2], &uid) || !parse_id(fields[3], &gid)) return;
  if (uid == (unsigned long)geteuid()) {
    if (census->user[0] == 0 && strlen(fields[0]) < sizeof census->user) {
      strcpy(census->user, fields[0]);
    }
    if (gid == census->gid) census->user_has_it = true;
  } else if (gid == census->gid) {
    census->others_have_it = true;
  }
}

// Notes a name list (members, administrators) that holds anyone but this
// user.  A name that differs from the user's only by blanks, which the C
// library skips, counts as another's too.
static void count_others_in(const char* names, group_census* census) {
  for (const char* name = names; *name != 0;) {
    const char* comma = strchr(name, ',');
    size_t length = comma != nullptr ? (size_t)(comma - name) : strlen(name);
    if (length > 0 && (length != strlen(census->user) || memcmp(name, census->user, length) != 0)) {
      census->others_have_it = true;
    }
    name += length + (comma != nullptr ? 1 : 0);
  }
}

// Whether a group's password field (/etc/group, /etc/gshadow) holds one that
// lets whoever knows it take the group with newgrp: neither empty (members
// only), nor locked ("!", "*"), nor "x" (kept in /etc/gshadow; no hash).
static bool group_password_usable(const char* password) {
  return password[0] != 0 && password[0] != '!' && password[0] != '*' && strcmp(password, "x") != 0;
}

static void count_group_members(char** fields, int count, int part, void* context) {
  group_census* census = (group_census*)context;
  unsigned long gid;
  if (fields[0][0] == '+' || fields[0][0] == '-') census->unknowable = true;
  if (count < 3) return;
  if (!plain_id(fields[2])) census->unknowable = true;
  if (!parse_id(fields[2], &gid) || gid != census->gid) return;
  if (part > 0) {
    // More members of a long line whose leading fields were counted already.
    if (count >= 4) count_others_in(fields[3], census);
    return;
  }
  // /etc/gshadow knows a group by its name: a second one would need looking
  // up too.
  if (census->listed || strlen(fields[0]) >= sizeof census->name) census->unknowable = true;
  if (!census->listed) strncpy(census->name, fields[0], sizeof census->name - 1);
  census->listed = true;
  if (group_password_usable(fields[1])) census->others_have_it = true;
  if (count >= 4) count_others_in(fields[3], census);
}

// /etc/gshadow: name, password, administrators, members.  Its members may
// take the group with newgrp, and so may whoever knows its password; its
// administrators may make anyone a member.
static void count_shadow_members(char** fields, int count, int part, void* context) {
  group_census* census = (group_census*)context;
  if (fields[0][0] == '+' || fields[0][0] == '-') census->unknowable = true;
  if (count < 3 || strcmp(fields[0], census->name) != 0) return;
  if (part > 0) {
    count_others_in(fields[count - 1], census);  // more names of a long line
    return;
  }
  if (group_password_usable(fields[1])) census->others_have_it = true;
  count_others_in(fields[2], census);
  if (count >= 4) count_others_in(fields[3], census);
}

// Whether the sources that a line of /etc/nsswitch.conf names are all ones
// that add no member to a group the account files list: the files
// themselves ("compat" reads them too; its "+" and "-" lines count as
// unknowable already), systemd's module, whose records are looked at below,
// and "mymachines", which gives containers' groups, never a member.  Actions
// ("[NOTFOUND=return]") are skipped.
static bool only_known_sources(const char* sources) {
  static const char* const known[] = {"files", "compat", "systemd", "mymachines"};
  for (const char* cursor = sources;;) {
    while (*cursor == ' ' || *cursor == '\t') ++cursor;
    if (*cursor == 0) return true;
    if (*cursor == '[') {
      const char* close = strchr(cursor, ']');
      if (close == nullptr) return false;
      cursor = close + 1;
      continue;
    }
    size_t length = strcspn(cursor, " \t[");
    bool fine = false;
    for (const char* name : known) {
      fine = fine || (strlen(name) == length && memcmp(cursor, name, length) == 0);
    }
    if (!fine) return false;
    cursor += length;
  }
}

struct switch_census {
  bool other_source;  // a group or initgroups line names another source
  bool systemd;       // one names systemd's module
};

// One line of /etc/nsswitch.conf: "database: sources", '#' to the line's
// end a comment.  The C library takes groups from the "group" line and a
// user's groups at login from "initgroups" where there is one.
static void count_group_sources(char* line, switch_census* census) {
  char* comment = strchr(line, '#');
  if (comment != nullptr) *comment = 0;
  char* colon = strchr(line, ':');
  if (colon == nullptr) return;
  *colon = 0;
  const char* database = line + strspn(line, " \t");
  size_t length = strcspn(database, " \t");
  bool group = length == 5 && memcmp(database, "group", 5) == 0;
  bool initgroups = length == 10 && memcmp(database, "initgroups", 10) == 0;
  if (!group && !initgroups) return;
  if (!only_known_sources(colon + 1)) census->other_source = true;
  if (strstr(colon + 1, "systemd") != nullptr) census->systemd = true;
}

// Reads /etc/nsswitch.conf whole; a missing one means the account files
// alone, as the C library takes it.  False when it cannot be read, or is too
// long to be one that a person wrote.
static bool read_group_sources(switch_census* census) {
  static char text[64 * 1024];
  int fd = open("/etc/nsswitch.conf", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  size_t kept = 0;
  ssize_t got = 0;
  while (kept < sizeof text - 1 &&
         ((got = read(fd, text + kept, sizeof text - 1 - kept)) > 0 || (got < 0 && errno == EINTR))) {
    if (got > 0) kept += (size_t)got;
  }
  close(fd);
  if (got != 0) return false;
  text[kept] = 0;
  for (char* line = text; line != nullptr;) {
    char* end = strchr(line, '\n');
    if (end != nullptr) *end++ = 0;
    count_group_sources(line, census);
    line = end;
  }
  return true;
}

// Whether systemd's records may give the group members: a membership
// ("USER:GROUP.membership") or group record ("GROUP.group", "GID.group") in
// a folder of drop-ins, or a running service that keeps accounts of its own
// (systemd-homed's users may belong to any group).  The services that give
// only dynamic users' or containers' own groups, and the ones that pass on
// the others, add none.
static bool userdb_may_add_members(const char* name, unsigned long gid) {
  static const char* const folders[] = {"/etc/userdb", "/run/userdb", "/run/host/userdb",
                                        "/usr/local/lib/userdb", "/usr/lib/userdb"};
  char by_name[300], by_id[32];
  snprintf(by_name, sizeof by_name, "%s.group", name);
  snprintf(by_id, sizeof by_id, "%lu.group", gid);
  char membership[300];
  snprintf(membership, sizeof membership, ":%s.membership", name);
  size_t membership_length = strlen(membership);
  for (const char* folder : folders) {
    DIR* listing = opendir(folder);
    if (listing == nullptr) {
      if (errno == ENOENT || errno == ENOTDIR) continue;
      return true;  // records that cannot be read may name it
    }
    bool named = false;
    while (const struct dirent* entry = readdir(listing)) {
      size_t length = strlen(entry->d_name);
      named = named || strcmp(entry->d_name, by_name) == 0 || strcmp(entry->d_name, by_id) == 0 ||
              (length > membership_length &&
               strcmp(entry->d_name + length - membership_length, membership) == 0);
    }
    closedir(listing);
    if (named) return true;
  }
  static const char* const passive[] = {"io.systemd.DynamicUser", "io.systemd.Multiplexer",
                                        "io.systemd.NameServiceSwitch", "io.systemd.Machine"};
  DIR* services = opendir("/run/systemd/userdb");
  if (services == nullptr) return errno != ENOENT && errno != ENOTDIR;
  bool other = false;
  while (const struct dirent* entry = readdir(services)) {
    if (entry->d_name[0] == '.') continue;
    bool known = false;
    for (const char* service : passive) known = known || strcmp(entry->d_name, service) == 0;
    other = other || !known;
  }
  closedir(services);
  return other;
}

// Whether the system may give the group members that the account files do
// not list: nsswitch.conf names another source for groups, or systemd's
// module is one and its records name the group.
static bool members_beyond_account_files(const char* name, unsigned long gid) {
  switch_census sources = {false, false};
  if (!read_group_sources(&sources)) return true;
  return sources.other_source || (sources.systemd && userdb_may_add_members(name, gid));
}

bool private_group(gid_t gid) {
  static gid_t known_gid;
  static int known = -1;
  if (known >= 0 && known_gid == gid) return known == 1;
  group_census census;
  memset(&census, 0, sizeof census);
  census.gid = gid;
  bool read = each_account_line("/etc/passwd", count_primary_group, &census) == ACCOUNTS_READ &&
              census.user[0] != 0 &&
              each_account_line("/etc/group", count_group_members, &census) == ACCOUNTS_READ &&
              each_account_line("/etc/gshadow", count_shadow_members, &census) != ACCOUNTS_DAMAGED;
  known_gid = gid;
  known = read && census.user_has_it && census.listed && !census.others_have_it &&
          !census.unknowable && !members_beyond_account_files(census.name, census.gid);
  return known == 1;
}

// Whether others than the owner can add, replace or rename entries of the
// folder: write for others, or write for a group other than the user's private
// one.  Where the folder has an access list, its group bits are the list's
// mask, and write there may belong to any named user or group.
static bool others_can_write(const char* path, const struct stat* status) {
  if ((status->st_mode & S_IWOTH) != 0) return true;
  if ((status->st_mode & S_IWGRP) == 0) return false;
  ssize_t acl = lgetxattr(path, "system.posix_acl_access", nullptr, 0);
  return acl >= 0 || (errno != ENODATA && errno != ENOTSUP) || !private_group(status->st_gid);
}

// Whether a folder above the target directory is safe: owned by root or by
// this user, and when others may write to it, sticky, so that they cannot
// rename or replace what this user keeps there.
static platform_trust judge_folder_above(const char* path, const struct stat* status) {
  if (status->st_uid != 0 && status->st_uid != geteuid()) return PLATFORM_NOT_OWNED;
  if ((status->st_mode & S_ISVTX) == 0 && others_can_write(path, status)) {
    return PLATFORM_OTHERS_CAN_WRITE;
  }
  return PLATFORM_TRUSTED;
}

// The target directory itself: this user's, and nobody else's to write; or
// root's and nobody else's to write at all (a cache that root made beside a
// launcher in /opt, say), which the launcher only reads.  Where such a start
// must write, the open fails as any refused write does.  Where root's folder
// has an access list, its group bits are the list's mask, which bounds every
// named entry, so no write there means no write for anyone but root.
static platform_trust judge_target(const char* path, const struct stat* status) {
  if (status->st_uid == 0 && status->st_uid != geteuid()) {
    return (status->st_mode & (S_IWGRP | S_IWOTH)) != 0 ? PLATFORM_OTHERS_CAN_WRITE : PLATFORM_TRUSTED;
  }
  if (status->st_uid != geteuid()) return PLATFORM_NOT_OWNED;
  if (others_can_write(path, status)) return PLATFORM_OTHERS_CAN_WRITE;
  return PLATFORM_TRUSTED;
}

void widen_cut(const char* text, wchar_t* out, size_t capacity) {
  if (capacity == 0) return;
  if (widen(text, out, capacity) == (size_t)-1) out[capacity - 1] = 0;
}

// Looks at the component at path; one that is missing is made first, 0700
// (root's 0755).  A look refused (EACCES) means that the folder holding it
// may not be entered.
// Its folder has been judged already, so a folder made here stays this
// user's: nobody else can rename it away.  One that another process made
// meanwhile is simply looked at and judged like any other.
static platform_trust look_or_make(const char* path, struct stat* status, bool* made) {
  *made = false;
  if (lstat(path, status) == 0) return PLATFORM_TRUSTED;
  if (errno == EACCES) return PLATFORM_NOT_ENTERED;
  if (errno != ENOENT) return errno == ENOTDIR ? PLATFORM_NOT_MADE : PLATFORM_TRUST_UNREADABLE;
  if (make_folder(AT_FDCWD, path)) {
    *made = true;
    note_made_folder(path);
  } else if (errno != EEXIST) {
    return PLATFORM_NOT_MADE;
  }
  return lstat(path, status) == 0 ? PLATFORM_TRUSTED : PLATFORM_TRUST_UNREADABLE;
}

// Walks the path from the root one component at a time with lstat, as
// realpath would, making what is missing and following each symbolic link
// under the same rules: a link counts as part of the folder that holds it
// (already judged) and must belong to root or this user, since in a sticky
// folder its owner may replace it.  Judges every folder it passes on the way
// and, at the end, the target directory.  When all of it exists that is one
// lstat per component.
//
// The launcher then works by path, not relative to a descriptor of the
// target: once every folder of the chain belongs to root or the user and
// any that others may write is sticky, no other account can rename, replace
// or re-point any part of it, so the path names the judged folder until the
// process ends.  Descriptors would add nothing against other accounts, and
// the child could not be started by one: a "#!" main binary is opened again
// by its interpreter, by name.
platform_trust platform_secure_directory(const wchar_t* directory, wchar_t* culprit,
                                         size_t capacity, bool* made) {
  *made = false;
  forget_made_folders();
  static char pending[2 * PATH_MAX + 2];  // components still to walk
  static char resolved[PATH_MAX + 1];     // the walked part, free of links
  static char link[PATH_MAX + 1];
  const char* name = narrow(directory);
  if (name == nullptr || strlen(name) >= sizeof pending) {
    widen_cut(name != nullptr ? name : "", culprit, capacity);
    return PLATFORM_TRUST_UNREADABLE;
  }
  strcpy(pending, name);
  strcpy(resolved, "/");
  size_t next = 0;
  int links = 0;
  struct stat status, folder;
  bool folder_known = false;  // folder holds the status of resolved
  for (;;) {
    while (pending[next] == '/') ++next;
    if (pending[next] == 0) break;
    size_t end = next;
    while (pending[end] != 0 && pending[end] != '/') ++end;
    size_t part = end - next;
    size_t length = strlen(resolved);
    if (part == 1 && pending[next] == '.') {
      next = end;
      continue;
    }
    // The folder that will hold this component is a folder above the target,
    // and so is one that ".." leaves: the kernel passes through whatever
    // stands there at the start, so it must be one that nobody else can swap.
    if (!folder_known && lstat(resolved, &folder) != 0) {
      widen_cut(resolved, culprit, capacity);
      return PLATFORM_TRUST_UNREADABLE;
    }
    platform_trust above = judge_folder_above(resolved, &folder);
    if (above != PLATFORM_TRUSTED) {
      widen_cut(resolved, culprit, capacity);
      return above;
    }
    if (part == 2 && pending[next] == '.' && pending[next + 1] == '.') {
      while (length > 1 && resolved[length - 1] != '/') --length;
      resolved[length > 1 ? length - 1 : 1] = 0;
      folder_known = false;
      next = end;
      continue;
    }
    size_t joined = length + (length > 1 ? 1 : 0) + part;
    if (joined >= sizeof resolved) {
      widen_cut(resolved, culprit, capacity);
      return PLATFORM_TRUST_UNREADABLE;
    }
    if (length > 1) resolved[length++] = '/';
    memcpy(resolved + length, pending + next, part);
    resolved[length + part] = 0;
    next = end;
    // The last component looked at is the target directory itself.
    platform_trust seen = look_or_make(resolved, &status, made);
    if (seen != PLATFORM_TRUSTED) {
      // The folder that may not be entered is the one that holds it.
      if (seen == PLATFORM_NOT_ENTERED) resolved[length > 1 ? length - 1 : 1] = 0;
      widen_cut(resolved, culprit, capacity);
      return seen;
    }
    folder = status;
    folder_known = !S_ISLNK(status.st_mode);
    if (folder_known) continue;
    if (status.st_uid != 0 && status.st_uid != geteuid()) {
      widen_cut(resolved, culprit, capacity);
      return PLATFORM_NOT_OWNED;
    }
    ssize_t got = readlink(resolved, link, sizeof link - 1);
    if (got <= 0 || ++links > 40 || (size_t)got + 1 + strlen(pending + next) >= sizeof pending) {
      widen_cut(resolved, culprit, capacity);
      return PLATFORM_TRUST_UNREADABLE;
    }
    link[got] = 0;
    // What the link names takes its place among the components to walk.
    size_t rest = strlen(pending + next);
    memmove(pending + got, pending + next, rest + 1);
    memcpy(pending, link, (size_t)got);
    next = 0;
    resolved[length > 1 ? length - 1 : 1] = 0;
    if (link[0] == '/') strcpy(resolved, "/");
  }
  if (!folder_known && lstat(resolved, &folder) != 0) {
    widen_cut(resolved, culprit, capacity);
    return PLATFORM_TRUST_UNREADABLE;
  }
  platform_trust target = judge_target(resolved, &folder);
  if (target != PLATFORM_TRUSTED) widen_cut(resolved, culprit, capacity);
  return target;
}

#endif
