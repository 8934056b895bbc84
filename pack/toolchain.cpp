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

}  // namespace

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
