// The Windows resources of a launcher: seven PNG icons, the icon group, the
// version record and the manifest, all language neutral, written as the
// image's resource section in the platform's own formats.
#ifndef ZOVARI_PACK_RESOURCES_H
#define ZOVARI_PACK_RESOURCES_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/executables/icon.h"

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

// The whole version record (RT_VERSION data): the fixed part, one string
// table "000004b0" with the eight strings in order, and the translation
// entry.  Throws PackError naming the value at fault: a version that is not
// four numbers 0..65535, a text that is not UTF-8, holds a NUL or another
// control character, or is too long.
std::string version_record(const VersionValues& values);

// What the resource section holds, checked and made.
struct WindowsResources {
  std::vector<IconImage> icons;
  std::string version_record;  // RT_VERSION data
  std::string manifest;        // RT_MANIFEST data
};

// Checks the values and makes the icons from icon_png (empty: the project's
// own icon).  The same values and icon give the same bytes.  Throws
// PackError with one clear line on bad input: an icon that is not a readable
// PNG, or a value version_record refuses.
WindowsResources make_windows_resources(const VersionValues& values,
                                        const std::filesystem::path& icon_png);

// The same with the icon's image given as PNG bytes, called icon_name in
// messages; no name stands for the project's own icon.
WindowsResources make_windows_resources(const VersionValues& values, const std::string& icon_png,
                                        const std::string& icon_name);

// The launcher's manifest: long paths, the common controls of version 6,
// the systems it was tried on, and the execution level: "asInvoker" (the
// rights of whoever starts it), or with require_administrator
// "requireAdministrator" (Windows asks for elevation at every start).
std::string launcher_manifest(bool require_administrator);

// The execution level a manifest asks for; empty when it names none.
std::string manifest_execution_level(const std::string& manifest);

// The resource section's bytes for a section loaded at rva: the directory
// (types, then identifiers, then the neutral language), its data entries,
// and the data, each piece 8-byte aligned.
std::string resource_section(const WindowsResources& resources, uint32_t rva);

}  // namespace zovari

#endif
