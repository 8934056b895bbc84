#include "pack/commands/summary.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "pack/commands/packing.h"
#include "pack/system/text.h"
#include "paths/template.h"
#include "paths/tokens.h"
#include "platform/linux_folders.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

// The cache folder a launcher's template names, read piece by piece as the
// launcher reads it, tokens in any case: the build values in place, and for
// a Linux launcher also this machine's {CACHE_DIR}, {HOME} and {TEMP} by the
// launcher's rules (the password database aside: {HOME} stays a token when
// HOME does not count).  Run-time values stay as tokens; a name given up for
// a later "{" is dropped, as the launcher drops it.
std::string shown_cache_folder(const LauncherSettings& s) {
  std::map<path_token, std::string> values = {{TOKEN_PRODUCT, s.product},
                                              {TOKEN_COMPANY, s.company},
                                              {TOKEN_VERSION, s.version},
                                              {TOKEN_FILE_VERSION, s.file_version},
                                              {TOKEN_PRODUCT_VERSION, s.product_version}};
  if (s.target == "linux") {
    auto variable = [](const char* name) {
      const char* value = std::getenv(name);
      return LINUX_FOLDER_VARIABLE_COUNTS(value) ? std::string(value) : std::string();
    };
    std::string home = variable(LINUX_HOME_VARIABLE);
    std::string cache = variable(LINUX_CACHE_VARIABLE);
    if (cache.empty() && !home.empty()) {
      cache = home;
      cache.resize(linux_cache_suffix_at(linux_trim_home_for_cache(&cache[0], cache.size())));
      cache += LINUX_CACHE_SUFFIX;
    }
    std::string temp = variable(LINUX_TEMP_VARIABLE);
    if (!cache.empty()) values[TOKEN_CACHE_DIR] = cache;
    if (!home.empty()) values[TOKEN_HOME] = home;
    values[TOKEN_TEMP] = temp.empty() ? LINUX_DEFAULT_TEMP : temp;
  }
  std::u16string units = utf16_from_utf8(s.path_template);
  const std::wstring wide(units.begin(), units.end());
  std::string text;
  const wchar_t* position = wide.c_str();
  for (template_piece piece = next_template_piece(&position); piece.kind != TEMPLATE_END;
       piece = next_template_piece(&position)) {
    if (piece.kind != TEMPLATE_LITERAL && piece.kind != TEMPLATE_TOKEN) continue;
    const std::wstring piece_text(piece.text, piece.length);
    std::string written = utf8_from_utf16(std::u16string(piece_text.begin(), piece_text.end()));
    if (piece.kind == TEMPLATE_LITERAL) {
      text += written;
      continue;
    }
    auto value = values.find(find_path_token(piece_text.c_str()));
    text += value != values.end() ? value->second : "{" + written + "}";
  }
  return text;
}

}  // namespace

void print_summary(const fs::path& output, const std::vector<PayloadRecord>& records,
                   uint64_t payload_size, const LauncherSettings& s) {
  uint64_t bytes = total_size(records);
  std::fprintf(stderr, "%s: %zu file%s, %llu bytes, payload %llu bytes (%.1f%%), target %s%s, cache folder %s%s\n",
               quoted_path(output).c_str(), records.size(), records.size() == 1 ? "" : "s", (unsigned long long)bytes,
               (unsigned long long)payload_size, bytes > 0 ? 100.0 * (double)payload_size / (double)bytes : 100.0,
               s.target.c_str(), s.target == "windows" ? (s.subsystem == "console" ? " (console)" : " (GUI)") : "",
               shown_cache_folder(s).c_str(),
               s.version_from_content ? " (no --version: {VERSION} from the contents)" : "");
  // The default template gives each build a folder of its own beside the
  // others, which pile up unless the launcher removes them.
  const char* default_start = s.target == "windows" ? "{CACHE_DIR}\\{PRODUCT}\\{VERSION}" : "{CACHE_DIR}/{PRODUCT}/{VERSION}";
  if (s.path_template.rfind(default_start, 0) == 0) {
    std::fprintf(stderr, "%s: each build unpacks into a folder of its own: %s\n", quoted_path(output).c_str(),
                 s.clean_cache ? "--clean-cache removes the other builds' once no launcher runs from them"
                               : "the old ones stay unless built with --clean-cache");
  }
  // A warm start reads every byte back to check it; past this much that is
  // felt at every start.
  const uint64_t LARGE_APPLICATION = 64ull << 20;
  if (!s.quick_start && bytes >= LARGE_APPLICATION) {
    std::fprintf(stderr, "%s: %llu MiB to check at every warm start: --quick-start checks the files' metadata instead\n",
                 quoted_path(output).c_str(), (unsigned long long)(bytes >> 20));
  }
}

}  // namespace zovari
