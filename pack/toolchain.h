// Finding and running the external programs that build a launcher: the C++
// compilers of both targets and windres.
#ifndef ZOVARI_PACK_TOOLCHAIN_H
#define ZOVARI_PACK_TOOLCHAIN_H

#include <filesystem>
#include <string>
#include <vector>

namespace zovari {

// The program named by option (a path, or a name looked up on PATH), or
// the default name on PATH.  Throws PackError naming the Debian package that
// provides it when it cannot be found.
std::filesystem::path find_program(const std::string& option, const std::string& default_name,
                                   const std::string& debian_package, const std::string& option_name);

// Runs program with arguments in directory, its output collected, in a
// process group of its own that an interrupt of this tool ends.  Throws
// PackError with what (e.g. "compiling the payload") and the first line of
// the program's messages when it fails.
void run_program(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                 const std::filesystem::path& directory, const std::string& what);

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
