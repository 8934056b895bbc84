// Producing a launcher: the payload goes into the read-only data through a
// generated assembler file (.incbin), the other build values of
// build/config.h through a generated C++ file; both are compiled and linked
// with the target's launcher runtime (<runtime root>/<target>/).
#ifndef ZOVARI_PACK_LAUNCHER_BUILD_H
#define ZOVARI_PACK_LAUNCHER_BUILD_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zovari {

struct LauncherSettings {
  std::string target = "windows";  // or "linux"
  std::string path_template;       // empty: the target's default
  std::string product;             // empty: the main binary's base name
  std::string version = "0.0.0";
  std::string file_version;        // empty: the version
  std::string product_version;     // empty: the version
  std::string company, description, copyright;
  std::filesystem::path icon;      // PNG; empty: the project's own icon
  std::filesystem::path runtime_root;  // empty: the one this tool was built with
  std::string cxx, windres;        // programs; empty: found on PATH
  // Filled by complete_settings from the main binary's payload name.
  std::string original_filename;
};

// Fills in the defaults that depend on the main binary's payload name
// (names[0], "\" between components) and checks every value now: the
// target, the template's token names, the versions, the token values that go
// into the path, that the path's fixed part and the longest name fit the
// launcher's path buffer, and every name against the rules of names.h (with
// the Windows ones for --target windows).  Throws PackError.
void complete_settings(LauncherSettings& settings, const std::vector<std::u16string>& names);

// "1.2.3" -> "1.2.3.0": up to four numbers of at most 65535; PackError with
// what otherwise.
std::string four_part_version(const std::string& version, const std::string& what);

// Checks a path template: every {NAME} must be a token the launcher knows,
// and no "{" may stay open.  Throws PackError.
void check_path_template(const std::string& path_template);

// The name of the payload inside the work folder that build_launcher links.
inline const char* const WORK_PAYLOAD_NAME = "payload.bin";

// Builds the launcher at output in work, a private folder that already holds
// the payload (WORK_PAYLOAD_NAME, payload_length bytes); output is replaced
// only when complete.  Throws PackError.
void build_launcher(const std::filesystem::path& work, uint64_t payload_length,
                    const LauncherSettings& settings, const std::filesystem::path& output);

}  // namespace zovari

#endif
