#include "pack/toolchain.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "pack/cleanup.h"
#include "pack/common.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

bool is_executable_file(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

fs::path search_path(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    size_t colon = directories.find(':', start);
    std::string directory = directories.substr(start, colon == std::string::npos ? colon : colon - start);
    if (!directory.empty() && is_executable_file(fs::path(directory) / name)) {
      return fs::path(directory) / name;
    }
    if (colon == std::string::npos) return fs::path();
    start = colon + 1;
  }
}

// The most telling line of a program's messages: the first that speaks of
// an error, or else the first that is not empty; trimmed.
std::string first_line(const fs::path& file) {
  std::ifstream in(file);
  std::string line, first;
  while (std::getline(in, line)) {
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos) continue;
    line = line.substr(start);
    if (line.find("error") != std::string::npos || line.find("undefined reference") != std::string::npos ||
        line.find("cannot find") != std::string::npos) {
      return line;
    }
    if (first.empty()) first = line;
  }
  return first;
}

// The folder that holds this program, or empty when the system will not say.
fs::path own_folder() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self.parent_path();
}

// The installation prefix when this program is installed (its folder is
// <prefix>/bin beside <prefix>/lib/zovari-onefile), or empty in a build tree.
fs::path installed_prefix() {
  fs::path folder = own_folder();
  if (folder.empty()) return fs::path();
  std::error_code error;
  fs::path prefix = folder.parent_path();
  return fs::is_directory(prefix / "lib" / "zovari-onefile", error) ? prefix : fs::path();
}

// The Debian package that brings a library file the link step names.
std::string package_of_library(const fs::path& library) {
  const std::string text = library.string();
  const std::string name = library.filename().string();
  if (text.find("mingw32") != std::string::npos) return "mingw-w64-x86-64-dev";
  if (name == "libzstd.a") return "libzstd-dev";
  if (name == "libdeflate.a") return "libdeflate-dev";
  return "that provides " + name;
}

}  // namespace

fs::path default_runtime_root() {
  fs::path prefix = installed_prefix();
  if (!prefix.empty()) return prefix / INSTALLED_RUNTIME_PATH;
#ifdef ZOVARI_DEFAULT_RUNTIME_ROOT
  return fs::path(ZOVARI_DEFAULT_RUNTIME_ROOT);
#else
  fs::path folder = own_folder();
  return folder.empty() ? fs::path("runtime") : folder.parent_path() / INSTALLED_RUNTIME_PATH;
#endif
}

fs::path find_runtime(const fs::path& root, const std::string& target) {
  fs::path folder = fs::absolute((root.empty() ? default_runtime_root() : root) / target);
  std::error_code error;
  if (fs::is_regular_file(folder / "libzovari_runtime.a", error)) return folder;
  std::string remedy;
  if (!root.empty()) {
    remedy = "name the runtime root, which holds linux/ and windows/, with --runtime";
  } else if (!installed_prefix().empty()) {
    remedy = "reinstall the Debian package zovari-pack, or install a build that has the " + target +
             " runtime (cmake --install of a build made with the " + target + " cross build beside it)";
  } else {
    remedy = "build the " + target + " target of the project, or name the folder with --runtime";
  }
  throw PackError("launcher runtime for " + target + " not found in " + folder.string() + ": " + remedy);
}

std::vector<std::string> runtime_link_libraries(const fs::path& folder) {
  std::ifstream in(folder / "link-libraries.txt");
  if (!in) throw PackError("cannot read " + (folder / "link-libraries.txt").string());
  std::vector<std::string> out;
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    if (line[0] != '-') {
      fs::path library = line.find('/') == std::string::npos ? folder / line : fs::path(line);
      std::error_code error;
      if (!fs::is_regular_file(library, error)) {
        throw PackError("the library " + library.string() + " that launchers are linked with is missing: " +
                        (line.find('/') == std::string::npos
                             ? "the launcher runtime in " + folder.string() + " is incomplete"
                             : "install the Debian package " + package_of_library(library)));
      }
      line = library.string();
    }
    out.push_back(line);
  }
  return out;
}

fs::path find_program(const std::string& option, const std::string& default_name,
                      const std::string& debian_package, const std::string& option_name) {
  if (!option.empty()) {
    if (option.find('/') != std::string::npos) {
      if (is_executable_file(option)) return fs::absolute(option);
      throw PackError(option_name + " " + option + ": no such program");
    }
    fs::path found = search_path(option);
    if (found.empty()) throw PackError(option_name + " " + option + ": not found on PATH");
    return found;
  }
  fs::path found = search_path(default_name);
  if (found.empty()) {
    throw PackError(default_name + " not found on PATH: install the Debian package " +
                    debian_package + " (or name the program with " + option_name + ")");
  }
  return found;
}

void run_program(const fs::path& program, const std::vector<std::string>& arguments,
                 const fs::path& directory, const std::string& what) {
  fs::path messages = directory / ".messages.txt";
  ::unlink(messages.c_str());
  pid_t child = fork();
  if (child < 0) throw PackError(what + " failed: cannot start " + program.string());
  if (child == 0) {
    setpgid(0, 0);
    int out = ::open(messages.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    int in = ::open("/dev/null", O_RDONLY);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    if (in >= 0) dup2(in, 0);
    if (chdir(directory.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    std::string name = program.string();
    argv.push_back(const_cast<char*>(name.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(name.c_str(), argv.data());
    _exit(127);
  }
  // Both sides set the group, so that it exists whichever runs first.
  setpgid(child, child);
  remember_running_group(child);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  remember_running_group(0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  std::string detail = first_line(messages);
  std::string how = WIFEXITED(status) ? "exit code " + std::to_string(WEXITSTATUS(status))
                                      : "signal " + std::to_string(WTERMSIG(status));
  throw PackError(what + " failed (" + program.filename().string() + ", " + how + ")" +
                  (detail.empty() ? std::string() : ": " + detail));
}

TemporaryFolder::TemporaryFolder() {
  std::error_code error;
  fs::path base = fs::temp_directory_path(error);
  if (error) base = "/tmp";
  std::string pattern = (base / "zovari-pack.XXXXXX").string();
  std::vector<char> text(pattern.begin(), pattern.end());
  text.push_back('\0');
  if (mkdtemp(text.data()) == nullptr) {
    throw PackError("cannot create a temporary folder in " + base.string() + ": " +
                    std::strerror(errno));
  }
  path_ = text.data();
  mark_ = remember_temporary(path_.string(), true);
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
  forget_temporary(mark_);
}

}  // namespace zovari
