#include "pack/build_summary.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pack/common.h"
#include "pack/packing.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

// The cache folder a launcher's template names, with the build values in
// place; for a Linux launcher also this machine's {CACHE_DIR}, {HOME} and
// {TEMP} as the launcher finds them.  Run-time values stay as tokens.
std::string shown_cache_folder(const LauncherSettings& s) {
  std::string text = s.path_template;
  auto replace = [&](const std::string& token, const std::string& value) {
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size())) {
      text.replace(at, token.size(), value);
    }
  };
  replace("{PRODUCT}", s.product);
  replace("{COMPANY}", s.company);
  replace("{VERSION}", s.version);
  replace("{FILE_VERSION}", s.file_version);
  replace("{PRODUCT_VERSION}", s.product_version);
  if (s.target == "linux") {
    auto variable = [](const char* name) {
      const char* value = std::getenv(name);
      return value != nullptr && value[0] == '/' ? std::string(value) : std::string();
    };
    std::string home = variable("HOME");
    std::string cache = variable("XDG_CACHE_HOME");
    if (cache.empty() && !home.empty()) cache = home + "/.cache";
    std::string temp = variable("TMPDIR");
    if (!cache.empty()) replace("{CACHE_DIR}", cache);
    if (!home.empty()) replace("{HOME}", home);
    replace("{TEMP}", temp.empty() ? "/tmp" : temp);
  }
  return text;
}

}  // namespace

void print_summary(const fs::path& output, const std::vector<PayloadRecord>& records,
                   uint64_t payload_size, const LauncherSettings& s) {
  uint64_t bytes = total_size(records);
  std::fprintf(stderr, "%s: %zu files, %llu bytes, payload %llu bytes (%.1f%%), target %s%s, cache folder %s%s\n",
               quoted_path(output).c_str(), records.size(), (unsigned long long)bytes,
               (unsigned long long)payload_size, bytes > 0 ? 100.0 * (double)payload_size / (double)bytes : 100.0,
               s.target.c_str(), s.target == "windows" ? (s.subsystem == "console" ? " (console)" : " (GUI)") : "",
               shown_cache_folder(s).c_str(),
               s.version_from_content ? " (no --version: {VERSION} from the contents)" : "");
}

}  // namespace zovari
