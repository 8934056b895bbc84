// The signal handler may use only async-signal-safe calls: the paths live in
// fixed static slots, and a folder is emptied with getdents64 and unlinkat
// rather than through the library's directory walk, which allocates.
#include "pack/system/cleanup.h"
#include "pack/system/cleanup_for_tests.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>


namespace zovari {

namespace {

const int SLOT_COUNT = 8;
const size_t SLOT_PATH = 4096;
const int DEEPEST_FOLDER = 16;

enum : int { SLOT_FREE = 0, SLOT_FILE = 1, SLOT_FOLDER = 2 };

char SlotPath[SLOT_COUNT][SLOT_PATH];
volatile std::sig_atomic_t SlotKind[SLOT_COUNT];
// Set once the user's output is in place: an interrupt then lets the tool
// finish.
volatile std::sig_atomic_t OutputInPlace = 0;

const int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};

struct DirectoryEntry {  // the kernel's struct linux_dirent64
  uint64_t inode;
  int64_t offset;
  unsigned short length;
  unsigned char type;
  char name[1];
};

// Removes name under the folder parent, with everything in it if it is a
// folder.  Entries are read again after each pass, since removing them while
// reading may make the reading skip some.
void remove_tree_at(int parent, const char* name, int depth) {
  if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT) return;
  if (depth > DEEPEST_FOLDER) return;
  int folder = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return;
  alignas(8) char buffer[4096];
  for (int pass = 0; pass < 4; ++pass) {
    ::lseek(folder, 0, SEEK_SET);
    for (;;) {
      long got = ::syscall(SYS_getdents64, folder, buffer, sizeof buffer);
      if (got <= 0) break;
      for (long at = 0; at < got;) {
        const DirectoryEntry* entry = reinterpret_cast<const DirectoryEntry*>(buffer + at);
        at += entry->length;
        if (std::strcmp(entry->name, ".") == 0 || std::strcmp(entry->name, "..") == 0) continue;
        remove_tree_at(folder, entry->name, depth + 1);
      }
    }
    if (::unlinkat(parent, name, AT_REMOVEDIR) == 0 || errno != ENOTEMPTY) break;
  }
  ::close(folder);
}

extern "C" void clean_up_and_end(int signal_number) {
  if (OutputInPlace) return;
  int saved = errno;
  for (int i = 0; i < SLOT_COUNT; ++i) {
    if (SlotKind[i] == SLOT_FILE) ::unlink(SlotPath[i]);
    if (SlotKind[i] == SLOT_FOLDER) remove_tree_at(AT_FDCWD, SlotPath[i], 0);
  }
  errno = saved;
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// True when path lies inside a temporary folder that is remembered.
bool in_temporary_folder(const std::string& path) {
  for (int i = 0; i < SLOT_COUNT; ++i) {
    size_t length = std::strlen(SlotPath[i]);
    if (SlotKind[i] == SLOT_FOLDER && path.compare(0, length, SlotPath[i]) == 0 && path.size() > length &&
        path[length] == '/') {
      return true;
    }
  }
  return false;
}

}  // namespace

void remove_temporary_on_signals() {
  for (int signal_number : INTERRUPTS) std::signal(signal_number, clean_up_and_end);
}

void interrupt_for_tests() { std::raise(SIGINT); }

// The signal handler does all the work here: nothing asks the working thread to stop.
void stop_if_interrupted() {}

void end_interrupted() { std::abort(); }

std::error_code rename_into_place(const std::filesystem::path& from, const std::filesystem::path& to) {
  // Only the working thread is left when an output is renamed (the
  // compressor's workers have ended), so blocking the interrupts here holds
  // them until the rename and its mark are done.
  sigset_t interrupts, before;
  sigemptyset(&interrupts);
  for (int signal_number : INTERRUPTS) sigaddset(&interrupts, signal_number);
  pthread_sigmask(SIG_BLOCK, &interrupts, &before);
  std::error_code error;
  std::filesystem::rename(from, to, error);
  if (!error && !in_temporary_folder(to.string())) OutputInPlace = 1;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return error;
}

int remember_temporary(const std::filesystem::path& where, bool is_folder) {
  const std::string path = where.string();
  if (path.empty() || path.size() >= SLOT_PATH) return -1;
  for (int i = 0; i < SLOT_COUNT; ++i) {
    if (SlotKind[i] != SLOT_FREE) continue;
    std::memcpy(SlotPath[i], path.c_str(), path.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);  // the path before its mark
    SlotKind[i] = is_folder ? SLOT_FOLDER : SLOT_FILE;
    return i;
  }
  return -1;
}

void forget_temporary(int mark) {
  if (mark >= 0 && mark < SLOT_COUNT) SlotKind[mark] = SLOT_FREE;
}

}  // namespace zovari
