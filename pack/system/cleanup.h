// What an interrupted zovari-pack must not leave behind: the temporary files
// and folders it is working in.  SIGINT, SIGTERM and SIGHUP remove them, then
// end the process as the signal would have.
#ifndef ZOVARI_PACK_CLEANUP_H
#define ZOVARI_PACK_CLEANUP_H

#include <filesystem>
#include <string>

namespace zovari {

// Installs the handler.  Call once, early.
void remove_temporary_on_signals();

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
