// The Windows resources of a launcher: seven PNG icons, the icon
// group, the version record and the manifest, all language neutral, written
// as a resource script for x86_64-w64-mingw32-windres and the files it reads.
#ifndef ZOVARI_PACK_RESOURCES_H
#define ZOVARI_PACK_RESOURCES_H

#include <filesystem>
#include <string>
#include <vector>

namespace zovari {

// The version record's values, as UTF-8.
struct VersionValues {
  std::string product, company, description, copyright,
      file_version /* four-part, e.g. 0.19.1.0 */, product_version /* four-part */,
      original_filename, internal_name;
  // The ProductVersion string when it is free text ("1.2.3-beta"); empty:
  // the product_version numbers.
  std::string product_version_text;
};

// The numbers of a version: one to four decimal numbers of 0 to 65535
// separated by dots, such as 1.2.3.0; empty when text is not one.
std::vector<unsigned> parse_version(const std::string& text);

// Writes the resource script and everything it includes into workdir
// (created when missing) and returns the .rc path; icon_png empty means the
// project's own icon.  The script names its files relative to itself, so
// windres may run from any directory.  The same values and icon give the same
// files.  Throws PackError with one clear line on bad input: an icon that is
// not a readable PNG, a version that is not four numbers 0..65535, a value
// that is not UTF-8 or holds a NUL, or files that cannot be written.
std::filesystem::path write_windows_resources(const std::filesystem::path& workdir,
                                              const VersionValues& values,
                                              const std::filesystem::path& icon_png);

// The same with the icon's image given as PNG bytes, called icon_name in
// messages; no name stands for the project's own icon.
std::filesystem::path write_windows_resources(const std::filesystem::path& workdir,
                                              const VersionValues& values,
                                              const std::string& icon_png,
                                              const std::string& icon_name);

// The names of the files that write_windows_resources puts into workdir.
inline constexpr const char* kResourceScriptName = "resources.rc";
// One generated header that holds every version value; resources.rc includes
// it.  Its string macros are wide literals, valid in C and C++ as well.
inline constexpr const char* kVersionHeaderName = "version_values.h";

}  // namespace zovari

#endif
