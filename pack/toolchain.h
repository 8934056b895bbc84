// Finding and running the external programs that build a launcher (the C++
// compilers of both targets and windres) and the launcher runtimes that
// they link.
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

// Where an installed tool keeps its runtimes, relative to the installation
// prefix (the tool itself is <prefix>/bin/zovari-pack).
inline const char* const INSTALLED_RUNTIME_PATH = "lib/zovari-onefile/runtime";

// The runtime root this tool uses unless --runtime names one: the installed
// one beside the tool (found from /proc/self/exe, so that a moved
// installation still works) when the tool is installed, or else the build
// tree's it was built with.
std::filesystem::path default_runtime_root();

// The runtime folder of target ("linux" or "windows") under root, or under
// default_runtime_root() when root is empty.  Throws PackError in one line
// naming what is missing and what brings it.
std::filesystem::path find_runtime(const std::filesystem::path& root, const std::string& target);

// The libraries that linking with the runtime in folder needs (its
// link-libraries.txt): a bare file name is one beside the runtime, a path
// must exist (PackError naming the Debian package that brings it), options
// such as -pthread pass as they are.
std::vector<std::string> runtime_link_libraries(const std::filesystem::path& folder);

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
