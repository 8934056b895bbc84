// Producing a launcher: the target's runtime image with its build area
// (image/build_area.h) holding the payload and the build values, and for
// Windows the resources and the subsystem; written by launcher_image.h, no
// compiler involved.
#ifndef ZOVARI_PACK_LAUNCHER_BUILD_H
#define ZOVARI_PACK_LAUNCHER_BUILD_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/executables/binary_kind.h"

namespace zovari {

struct LauncherSettings {
  std::string target;              // "windows" or "linux"; empty: the main binary's format
  std::string subsystem;           // windows: "console" or "windows"; empty: the main binary's
  std::string path_template;       // empty: the target's default
  std::string product;             // empty: the main binary's base name
  std::string version;             // empty: derived from the payload (set_content_digest)
  std::string file_version;        // empty: the version
  std::string product_version;     // empty: the version
  std::string company, description, copyright;
  bool uac_admin = false;          // windows: the manifest asks for administrator rights
  std::vector<std::string> fixed_arguments;  // given to the child before the launcher's own
  std::filesystem::path icon;      // PNG or .ico; empty: the main binary's own, else the project's
  std::filesystem::path runtime;   // the runtime image; empty: this tool's own
  ProgramSample main_sample;       // what the main binary is (binary_kind.h)
  // The main binary whole, or the file that holds it: where a Windows
  // launcher without --icon takes its icon from.
  std::string main_program;
  std::filesystem::path main_source;
  // Filled by complete_settings: the icon's image as PNG bytes and what
  // messages call it; no name for the project's own icon.
  std::string icon_png, icon_name;
  // Filled by complete_settings from the main binary's payload name.
  std::string original_filename;
  bool version_from_content = false;  // {VERSION} waits for set_content_digest
  bool digest_in_template = false;    // the default template's end waits for it too
  bool quick_start = false;           // --quick-start: the list waits for set_quick_start_list
  std::vector<uint32_t> quick_start_list;  // BUILD_QUICK_START's wide units, without the 0
  bool clean_cache = false;           // --clean-cache: a start removes what no launcher needs
  bool pass_interrupts = false;       // --pass-interrupts: the program handles Ctrl+C itself
  std::string file_version_option, product_version_option;  // where each came from
};

// The payload's digest, its CRC-32 in eight hex digits, where the settings
// wait for it, so that different contents never share a cache folder: the
// {VERSION} of a launcher built without --version ("0.0.0-" and the digest;
// the version record keeps 0.0.0.0), and the end of the default template
// with --version ("{CACHE_DIR}/{PRODUCT}/{VERSION}-" and the digest).
void set_content_digest(LauncherSettings& settings, const unsigned char* payload, uint64_t size);

// For a launcher built with --quick-start, the list of payload/quick_start_list.h
// from the payload's own records (its bytes, checked already), and the
// build's identity: a digest of every byte of the payload, so that no other
// build ever takes this one's stamp.
void set_quick_start_list(LauncherSettings& settings, const unsigned char* payload, uint64_t size);

// Fills in the defaults that depend on the main binary's payload name
// (names[0], "\" between components) and checks every value now: the
// target, the template's token names, the versions, the token values that go
// into the path, that the path's fixed part and the longest name fit the
// launcher's path buffer, and every name against the rules of names.h (with
// the Windows ones for --target windows).  Throws PackError.
void complete_settings(LauncherSettings& settings, const std::vector<std::u16string>& names);

// The length of an argument on a Windows command line, quoted as the
// launcher quotes it so that the system's splitting gives it back: in
// quotes when it holds a space, tab, line feed, vertical tab or quotation
// mark, with a backslash before each quotation mark and the backslashes
// before one, or before the closing quote, doubled.
size_t windows_quoted_length(const std::u16string& argument);

// "1.2.3" -> "1.2.3.0": up to four numbers of at most 65535; PackError with
// what (the option the user gave) otherwise.  With leading, only the text's
// leading numbers count ("1.2.3-beta" -> "1.2.3.0").
std::string four_part_version(const std::string& version, const std::string& what,
                               bool leading = false);

// Checks a path template: every {NAME} must be a token the launcher knows,
// and no "{" may stay open.  Throws PackError.
void check_path_template(const std::string& path_template);

// The value of BUILD_OPTIONS for the settings: the words of image/config.h's
// build options, separated by spaces.
std::string build_options_value(const LauncherSettings& settings);

// The build values of a launcher's build area (image/build_area.h, the area
// of area_size bytes found and checked by find_build_area), in the order of
// enum build_value, each as display text (control characters escaped); the
// fixed arguments, a list, each one entry from BUILD_FIXED_ARGUMENTS on.
std::vector<std::string> read_build_values(const unsigned char* area, uint64_t area_size, bool on_linux);

// The name of the payload inside the private work folder of a build.
inline const char* const WORK_PAYLOAD_NAME = "payload.bin";

// Writes the launcher for payload (its bytes, checked already) to output,
// which is replaced only when complete.  Throws PackError.
void build_launcher(const unsigned char* payload, uint64_t payload_length, const LauncherSettings& settings,
                    const std::filesystem::path& output);

}  // namespace zovari

#endif
