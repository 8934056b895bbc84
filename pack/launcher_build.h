// Producing a launcher: the payload goes into the read-only data through a
// generated assembler file (.incbin), the other build values of
// build/config.h through a generated C++ file; both are compiled and linked
// with the target's launcher runtime (<runtime root>/<target>/).
#ifndef ZOVARI_PACK_LAUNCHER_BUILD_H
#define ZOVARI_PACK_LAUNCHER_BUILD_H

#include <cstdint>
#include <filesystem>
#include <string>

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

// Fills in the defaults that depend on the main binary's payload name ("\"
// between components) and checks every value now: the target, the template's
// token names, the versions.  Throws PackError.
void complete_settings(LauncherSettings& settings, const std::u16string& main_name);

// "1.2.3" -> "1.2.3.0": up to four numbers of at most 65535; PackError with
// what otherwise.
std::string four_part_version(const std::string& version, const std::string& what);

// Checks a path template: every {NAME} must be a token the launcher knows,
// and no "{" may stay open.  Throws PackError.
void check_path_template(const std::string& path_template);

// Builds the launcher at output from a payload file of payload_length bytes,
// in a temporary folder removed afterwards; output is replaced only when
// complete.  Throws PackError.
void build_launcher(const std::filesystem::path& payload, uint64_t payload_length,
                    const LauncherSettings& settings, const std::filesystem::path& output);

// Where this tool looks for the launcher runtime by default.
std::filesystem::path default_runtime_root();

}  // namespace zovari

#endif
