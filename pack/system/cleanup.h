// What an interrupted zovari-pack must not leave behind: the temporary files
// and folders it is working in.  SIGINT, SIGTERM and SIGHUP remove them, then
// end the process as the signal would have.  On Windows, where a file that is
// open or mapped cannot be removed, a console event (Ctrl+C, Ctrl+Break,
// closing the console) asks the working thread to stop at its next write,
// which removes them as it unwinds; the handler removes what it can itself
// when the thread does not stop within STOP_WAIT_MILLISECONDS.
//
// An output is replaced by one rename that no interrupt splits: one that
// comes before it keeps the old output, one after it lets the tool finish
// and say so, since all it has left is its summary.
#ifndef ZOVARI_PACK_CLEANUP_H
#define ZOVARI_PACK_CLEANUP_H

#include <exception>
#include <filesystem>
#include <string>
#include <system_error>

namespace zovari {

// Installs the handler.  Call once, early.
void remove_temporary_on_signals();

// How long a Windows console event waits for the working thread to stop.
inline constexpr unsigned STOP_WAIT_MILLISECONDS = 2000;

// Thrown on the working thread when an interrupt asks it to stop; caught
// where the tool ends, after every temporary file and folder has gone with
// the objects that held them.
struct Interrupted : std::exception {
  const char* what() const noexcept override { return "interrupted"; }
};

// Throws Interrupted when an interrupt asks the tool to stop.
void stop_if_interrupted();

// Ends the process as an interrupt does (after Interrupted was caught).
[[noreturn]] void end_interrupted();

// Renames the finished temporary file from over the output to, unsplit by
// an interrupt.  Once an output that lies outside the tool's own temporary
// folders is in place, interrupts are let go.  Throws Interrupted when one
// came first; the rename's failure otherwise.
std::error_code rename_into_place(const std::filesystem::path& from, const std::filesystem::path& to);

// Marks a temporary file or folder (a folder goes with everything in it) for
// removal on a signal until forgotten; returns the mark, or -1 when the path
// cannot be held (then the object's own destructor is all that removes it).
int remember_temporary(const std::filesystem::path& path, bool is_folder);
void forget_temporary(int mark);

// A fresh private folder under the system's temporary folder, removed with
// everything in it when the object goes or the process is interrupted.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  int mark_ = -1;
};

}  // namespace zovari

#endif
