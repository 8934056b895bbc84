// zovari-sample: a small application to pack.  It finds the folder it runs
// from, reads every file under data/ there (nested folders included) and
// prints what it found, with the hand-over variables that the launcher set.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

// The running program's own path (argument 0 names the launcher instead).
static fs::path own_path() {
#ifdef _WIN32
  std::wstring buffer(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, &buffer[0], (DWORD)buffer.size());
  buffer.resize(length);
  return fs::path(buffer);
#else
  return fs::read_symlink("/proc/self/exe");
#endif
}

static std::string text(const fs::path& path) {
  std::string out = path.u8string();
#ifdef _WIN32
  std::replace(out.begin(), out.end(), '/', '\\');
#endif
  return out;
}

static std::string first_line(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

static void show_variable(const char* name) {
  const char* value = std::getenv(name);
  std::printf("  %-26s %s\n", name, value != nullptr ? value : "(not set)");
}

int main(int argc, char** argv) {
  fs::path self = own_path();
  fs::path data = self.parent_path() / "data";
  std::printf("zovari-sample running from %s\n", text(self.parent_path()).c_str());
  std::printf("started with %d argument(s):", argc - 1);
  for (int i = 1; i < argc; ++i) std::printf(" [%s]", argv[i]);
  std::printf("\nhand-over from the launcher:\n");
  show_variable("ZOVARI_ONEFILE_PARENT");
  show_variable("ZOVARI_ONEFILE_DIRECTORY");
  show_variable("ZOVARI_ORIGINAL_ARGV0");

  std::error_code error;
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(data, error), end; !error && it != end; it.increment(error)) {
    if (it->is_regular_file()) files.push_back(it->path());
  }
  if (error || files.empty()) {
    std::printf("no data files found in %s\n", text(data).c_str());
    return 1;
  }
  std::sort(files.begin(), files.end());
  uintmax_t total = 0;
  std::printf("data files:\n");
  for (const fs::path& file : files) {
    uintmax_t size = fs::file_size(file, error);
    total += size;
    std::printf("  %-40s %6ju bytes  \"%s\"\n", text(file.lexically_relative(self.parent_path())).c_str(),
                size, first_line(file).c_str());
  }
  std::printf("%zu files, %ju bytes of data\n", files.size(), total);
  return 0;
}
