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
  std::string target;              // "windows" or "linux"; empty: the main binary's format
  std::string subsystem;           // windows: "console" or "windows"; empty: the main binary's
  std::string path_template;       // empty: the target's default
  std::string product;             // empty: the main binary's base name
  std::string version;             // empty: derived from the payload (set_content_version)
  std::string file_version;        // empty: the version
  std::string product_version;     // empty: the version
  std::string company, description, copyright;
  std::vector<std::string> fixed_arguments;  // given to the child before the launcher's own
  std::filesystem::path icon;      // PNG or .ico; empty: the main binary's own, else the project's
  std::filesystem::path runtime_root;  // empty: the one this tool was built with
  std::string cxx, windres;        // programs; empty: found on PATH
  std::string main_head;           // the main binary's first bytes (binary_kind.h)
  // The main binary whole, or the file that holds it: where a Windows
  // launcher without --icon takes its icon from.
  std::string main_program;
  std::filesystem::path main_source;
  // Filled by complete_settings: the icon's image as PNG bytes and what
  // messages call it; no name for the project's own icon.
  std::string icon_png, icon_name;
  // Filled by complete_settings from the main binary's payload name.
  std::string original_filename;
  bool version_from_content = false;
  std::string file_version_option, product_version_option;  // where each came from  // {VERSION} waits for set_content_version
};

// The {VERSION} of a launcher built without --version: "0.0.0-" and the
// payload's CRC-32 in eight hex digits, so that different contents never
// share a cache folder.  The version record keeps 0.0.0.0.
void set_content_version(LauncherSettings& settings, const std::filesystem::path& payload);

// Fills in the defaults that depend on the main binary's payload name
// (names[0], "\" between components) and checks every value now: the
// target, the template's token names, the versions, the token values that go
// into the path, that the path's fixed part and the longest name fit the
// launcher's path buffer, and every name against the rules of names.h (with
// the Windows ones for --target windows).  Throws PackError.
void complete_settings(LauncherSettings& settings, const std::vector<std::u16string>& names);

// "1.2.3" -> "1.2.3.0": up to four numbers of at most 65535; PackError with
// what (the option the user gave) otherwise.  With leading, only the text's
// leading numbers count ("1.2.3-beta" -> "1.2.3.0").
std::string four_part_version(const std::string& version, const std::string& what,
                               bool leading = false);

// Checks a path template: every {NAME} must be a token the launcher knows,
// and no "{" may stay open.  Throws PackError.
void check_path_template(const std::string& path_template);

// The build values a launcher holds right behind its payload, in this order:
// the path template, company, product, version, file version, product
// version, each a wide string with its terminating 0; then the fixed
// arguments, each a wide string with its 0, the list ended by one more 0.
inline constexpr size_t BUILD_VALUE_COUNT = 6;
enum BuildValue { VALUE_TEMPLATE, VALUE_COMPANY, VALUE_PRODUCT, VALUE_VERSION, VALUE_FIXED_ARGUMENTS = 6 };

// Reads them back from a launcher's bytes, the payload ending at payload_end
// with payload_length bytes; each as display text (control characters
// escaped), the fixed arguments from VALUE_FIXED_ARGUMENTS on.  Empty when
// they are not there, as in a payload file.
std::vector<std::string> read_build_values(const unsigned char* data, uint64_t size,
                                           uint64_t payload_end, uint64_t payload_length,
                                           bool on_linux);

// The name of the payload inside the work folder that build_launcher links.
inline const char* const WORK_PAYLOAD_NAME = "payload.bin";

// Builds the launcher at output in work, a private folder that already holds
// the payload (WORK_PAYLOAD_NAME, payload_length bytes); output is replaced
// only when complete.  Throws PackError.
void build_launcher(const std::filesystem::path& work, uint64_t payload_length,
                    const LauncherSettings& settings, const std::filesystem::path& output);

}  // namespace zovari

#endif
