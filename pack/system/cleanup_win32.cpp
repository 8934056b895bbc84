// Interrupts on Windows: Ctrl+C, Ctrl+Break and closing the console reach a
// handler on a thread of its own.  The working thread holds its temporary
// files open, and the payload mapped, and Windows removes neither while it
// does: so the handler asks that thread to stop, and the thread removes them
// as it unwinds and ends the process with the code an interrupted program
// has.  A thread that does not stop in time (blocked in a long read, say) is
// ended by the handler after it has removed what it can; a temporary file is
// opened so that it can be removed while open, and goes when the process
// ends.
#include "pack/system/cleanup.h"
#include "pack/system/cleanup_for_tests.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace zovari {

namespace {

struct Temporary {
  std::filesystem::path path;
  bool is_folder = false;
  bool used = false;
};

// Held by the handler from its first look on, and by a rename into place:
// the two never overlap.
std::mutex Lock;
std::vector<Temporary> Slots;
std::atomic<bool> StopAsked{false};
bool OutputInPlace = false;

void remove_remembered() {
  for (const Temporary& slot : Slots) {
    std::error_code ignored;
    if (!slot.used) continue;
    if (slot.is_folder) {
      // A file the working thread still holds goes when the process ends;
      // its folder is then removed by this handle, which ends with it.
      if (std::filesystem::remove_all(slot.path, ignored) == static_cast<std::uintmax_t>(-1)) {
        CreateFileW(slot.path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
      }
    } else {
      std::filesystem::remove(slot.path, ignored);
    }
  }
}

BOOL WINAPI clean_up_and_end(DWORD) {
  {
    std::lock_guard<std::mutex> hold(Lock);
    if (OutputInPlace) return TRUE;  // the tool is finishing: let it say so
    bool holding = std::any_of(Slots.begin(), Slots.end(), [](const Temporary& slot) { return slot.used; });
    if (!holding) ExitProcess(STATUS_CONTROL_C_EXIT);
    StopAsked = true;
  }
  Sleep(STOP_WAIT_MILLISECONDS);
  std::lock_guard<std::mutex> hold(Lock);
  remove_remembered();
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

bool in_temporary_folder(const std::filesystem::path& path) {
  const std::wstring text = path.lexically_normal().wstring();
  for (const Temporary& slot : Slots) {
    const std::wstring folder = slot.path.lexically_normal().wstring();
    if (slot.used && slot.is_folder && text.size() > folder.size() &&
        _wcsnicmp(text.c_str(), folder.c_str(), folder.size()) == 0 &&
        (text[folder.size()] == L'\\' || text[folder.size()] == L'/')) {
      return true;
    }
  }
  return false;
}

}  // namespace

void remove_temporary_on_signals() { SetConsoleCtrlHandler(clean_up_and_end, TRUE); }

void interrupt_for_tests() { clean_up_and_end(CTRL_C_EVENT); }

void stop_if_interrupted() {
  if (StopAsked) throw Interrupted();
}

void end_interrupted() { ExitProcess(STATUS_CONTROL_C_EXIT); }

std::error_code rename_into_place(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::lock_guard<std::mutex> hold(Lock);
  if (StopAsked) throw Interrupted();
  std::error_code error;
  std::filesystem::rename(from, to, error);
  if (!error && !in_temporary_folder(to)) OutputInPlace = true;
  return error;
}

int remember_temporary(const std::filesystem::path& path, bool is_folder) {
  std::lock_guard<std::mutex> hold(Lock);
  for (size_t i = 0; i < Slots.size(); ++i) {
    if (!Slots[i].used) {
      Slots[i] = {path, is_folder, true};
      return (int)i;
    }
  }
  Slots.push_back({path, is_folder, true});
  return (int)Slots.size() - 1;
}

void forget_temporary(int mark) {
  std::lock_guard<std::mutex> hold(Lock);
  if (mark >= 0 && (size_t)mark < Slots.size()) Slots[mark].used = false;
}

}  // namespace zovari
