// Interrupts on Windows: Ctrl+C, Ctrl+Break and closing the console reach a
// handler on a thread of its own, which removes the temporary files and
// folders and ends the process with the code an interrupted program has.
#include "pack/system/cleanup.h"

#include <windows.h>

#include <mutex>
#include <vector>

namespace zovari {

namespace {

struct Temporary {
  std::filesystem::path path;
  bool is_folder = false;
  bool used = false;
};

std::mutex Lock;
std::vector<Temporary> Slots;

BOOL WINAPI clean_up_and_end(DWORD) {
  std::lock_guard<std::mutex> hold(Lock);
  for (const Temporary& slot : Slots) {
    std::error_code ignored;
    if (!slot.used) continue;
    if (slot.is_folder) {
      std::filesystem::remove_all(slot.path, ignored);
    } else {
      std::filesystem::remove(slot.path, ignored);
    }
  }
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

void remove_temporary_on_signals() { SetConsoleCtrlHandler(clean_up_and_end, TRUE); }

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
