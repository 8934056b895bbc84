#include "pack/executables/resources.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "pack/executables/icon.h"
#include "pack/payloads/names.h"
#include "pack/system/error.h"
#include "pack/system/text.h"

namespace zovari {
namespace {

// A version string longer than this is refused: the whole version record
// must stay well below its 64 KiB limit.
constexpr size_t MAX_VALUE_UNITS = 2048;

// The launcher's manifest: one line of UTF-8 XML without declaration, in
// two parts around the execution level.
constexpr const char* MANIFEST_HEAD =
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">"
    "<assemblyIdentity type=\"win32\" name=\"Mini\" version=\"1.0.0.0\"/>"
    "<compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\"><application>"
    "<supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>"  // Windows Vista
    "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>"  // Windows 7
    "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>"  // Windows 8
    "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>"  // Windows 8.1
    "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"  // Windows 10 and later
    "</application></compatibility>"
    "<application xmlns=\"urn:schemas-microsoft-com:asm.v3\"><windowsSettings>"
    "<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true"
    "</longPathAware></windowsSettings></application>"
    "<dependency><dependentAssembly><assemblyIdentity type=\"win32\""
    " name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""
    " processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>"
    "</dependentAssembly></dependency>"
    "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>"
    "<requestedExecutionLevel level=\"";
constexpr const char* MANIFEST_TAIL =
    "\" uiAccess=\"false\"/>"
    "</requestedPrivileges></security></trustInfo>"
    "</assembly>";

// The value of the version record's key as checked UTF-16 units.
std::u16string checked_units(const char* key, const std::string& value) {
  if (!is_utf8(value)) {
    throw PackError(std::string("the version value ") + key + " is not valid UTF-8");
  }
  std::u16string units = utf16_from_utf8(value);
  if (units.find(u'\0') != std::u16string::npos) {
    throw PackError(std::string("the version value ") + key + " holds a NUL character");
  }
  // Windows shows each value as one line: a line break or an escape would
  // break it or drive the console that prints it, and a line separator, a
  // reordering mark or an invisible character would break it or hide text.
  for (char16_t unit : units) {
    if (is_control(unit) || is_invisible_mark(unit)) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", (unsigned)unit);
      throw PackError(std::string("the version value ") + key +
                      (is_control(unit) ? std::string(" holds the control character ") + code
                                        : std::string(" holds ") + code + ", which breaks, reorders or hides text") +
                      "; each value is one line of text");
    }
  }
  if (units.size() > MAX_VALUE_UNITS) {
    throw PackError(std::string("the version value ") + key + " is longer than " +
                    std::to_string(MAX_VALUE_UNITS) + " characters");
  }
  return units;
}

std::string utf16le(const std::u16string& units) {
  std::string out;
  for (char16_t unit : units) {
    out.push_back((char)(unit & 0xff));
    out.push_back((char)(unit >> 8));
  }
  return out + std::string(2, '\0');
}

void append_u32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back((char)(value >> (8 * i)));
}

// "a.b.c.d" with each part a decimal number 0..65535, as its four numbers.
std::vector<unsigned> version_numbers(const char* key, const std::string& text) {
  std::vector<unsigned> numbers = parse_version(text);
  if (numbers.size() != 4) {
    // The text is shown only where it cannot break the message's one line.
    bool printable =
        std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
    throw PackError(std::string("the version value ") + key +
                    (printable ? " \"" + text + "\"" : "") +
                    " is not four numbers 0-65535 separated by dots, such as 1.2.3.0");
  }
  return numbers;
}

std::string joined(const std::vector<unsigned>& numbers, const char* separator) {
  std::string out;
  for (size_t i = 0; i < numbers.size(); ++i) {
    out += (i > 0 ? separator : "") + std::to_string(numbers[i]);
  }
  return out;
}

// A version record's node: its length, its value's length (value_units in
// the node's own unit), its type (1 text, 0 binary), its key, then the value
// and the children, each starting on a 32-bit boundary.  The length counts
// up to the end of the last child, without padding after it.
std::string version_node(const std::u16string& key, const std::string& value, size_t value_units,
                         unsigned type, const std::vector<std::string>& children) {
  std::string out(6, '\0');
  auto pad = [&out]() { out.append((4 - out.size() % 4) % 4, '\0'); };
  out += utf16le(key);
  pad();
  out += value;
  for (const std::string& child : children) {
    pad();
    out += child;
  }
  if (out.size() > 0xffff) throw PackError("the version record is longer than 64 KiB");
  out[0] = (char)(out.size() & 0xff);
  out[1] = (char)(out.size() >> 8);
  out[2] = (char)(value_units & 0xff);
  out[3] = (char)(value_units >> 8);
  out[4] = (char)type;
  return out;
}

// A String node: its key and the value's UTF-16 units with their NUL.
std::string string_node(const char* key, const std::string& value) {
  std::u16string units = checked_units(key, value);
  return version_node(utf16_from_utf8(key), utf16le(units), units.size() + 1, 1, {});
}

std::string fixed_part(const std::vector<unsigned>& file, const std::vector<unsigned>& product) {
  const uint32_t fields[13] = {0xFEEF04BD, 0x00010000, file[0] << 16 | file[1], file[2] << 16 | file[3],
                               product[0] << 16 | product[1], product[2] << 16 | product[3],
                               0x3F, 0, 0x4, 0x1, 0, 0, 0};
  std::string out;
  for (uint32_t field : fields) append_u32(out, field);
  return out;
}

}  // namespace

std::string version_record(const VersionValues& values) {
  std::vector<unsigned> file = version_numbers("FileVersion", values.file_version);
  std::vector<unsigned> product = version_numbers("ProductVersion", values.product_version);
  std::vector<std::string> strings = {
      string_node("CompanyName", values.company),
      string_node("ProductName", values.product),
      string_node("FileDescription", values.description),
      string_node("LegalCopyright", values.copyright),
      string_node("ProductVersion", values.product_version_text.empty() ? joined(product, ".")
                                                                          : values.product_version_text),
      string_node("FileVersion", joined(file, ".")),
      string_node("OriginalFilename", values.original_filename),
      string_node("InternalName", values.internal_name),
  };
  std::string table = version_node(u"000004b0", "", 0, 1, strings);
  std::string string_info = version_node(u"StringFileInfo", "", 0, 1, {table});
  std::string translation;
  append_u32(translation, 0x04B00000);  // language 0x0000, code page 0x04B0
  std::string var = version_node(u"Translation", translation, translation.size(), 0, {});
  std::string var_info = version_node(u"VarFileInfo", "", 0, 1, {var});
  std::string fixed = fixed_part(file, product);
  return version_node(u"VS_VERSION_INFO", fixed, fixed.size(), 0, {string_info, var_info});
}

namespace {

// One resource: its type, identifier and data (language neutral).
struct Resource {
  unsigned type, id;
  const std::string* data;
};

}  // namespace

std::vector<unsigned> parse_version(const std::string& text) {
  std::vector<unsigned> numbers;
  size_t start = 0;
  for (;;) {
    size_t dot = text.find('.', start);
    std::string part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    bool digits = !part.empty() && part.size() <= 5 &&
                  part.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoul(part) > 65535 || numbers.size() == 4) return {};
    numbers.push_back(static_cast<unsigned>(std::stoul(part)));
    if (dot == std::string::npos) return numbers;
    start = dot + 1;
  }
}

WindowsResources make_windows_resources(const VersionValues& values,
                                        const std::filesystem::path& icon_png) {
  if (icon_png.empty()) return make_windows_resources(values, std::string(), std::string());
  return make_windows_resources(values, read_icon_file(icon_png), icon_png.u8string());
}

WindowsResources make_windows_resources(const VersionValues& values, const std::string& icon_png,
                                        const std::string& icon_name) {
  WindowsResources out;
  out.version_record = version_record(values);
  out.icons = icon_name.empty() ? make_icon_images(default_icon_png(), "image/icon.png (built in)")
                                : make_icon_images(icon_png, icon_name);
  out.manifest = launcher_manifest(false);
  return out;
}

std::string launcher_manifest(bool require_administrator) {
  return std::string(MANIFEST_HEAD) + (require_administrator ? "requireAdministrator" : "asInvoker") +
         MANIFEST_TAIL;
}

std::string manifest_execution_level(const std::string& manifest) {
  const std::string key = "<requestedExecutionLevel level=\"";
  size_t at = manifest.find(key);
  if (at == std::string::npos) return std::string();
  at += key.size();
  size_t end = manifest.find('"', at);
  return end == std::string::npos ? std::string() : manifest.substr(at, end - at);
}

std::string resource_section(const WindowsResources& resources, uint32_t rva) {
  constexpr unsigned RESOURCE_ICON = 3, RESOURCE_GROUP_ICON = 14, RESOURCE_VERSION = 16, RESOURCE_MANIFEST = 24;
  const std::string group = icon_group_directory(resources.icons, 1);
  std::vector<Resource> all;
  for (size_t i = 0; i < resources.icons.size(); ++i) {
    all.push_back({RESOURCE_ICON, (unsigned)i + 1, &resources.icons[i].png});
  }
  all.push_back({RESOURCE_GROUP_ICON, 1, &group});
  all.push_back({RESOURCE_VERSION, 1, &resources.version_record});
  all.push_back({RESOURCE_MANIFEST, 1, &resources.manifest});
  // The types in ascending order, each with its identifiers in order: the
  // list above is already sorted so.
  std::vector<unsigned> types;
  for (const Resource& resource : all) {
    if (types.empty() || types.back() != resource.type) types.push_back(resource.type);
  }
  auto directory_size = [](size_t entries) { return 16 + 8 * entries; };
  // Where each part goes: the root, one table per type, one per resource
  // (its language), the data entries, the data.
  size_t at = directory_size(types.size());
  std::vector<size_t> type_tables;
  for (unsigned type : types) {
    type_tables.push_back(at);
    size_t count = 0;
    for (const Resource& resource : all) count += resource.type == type ? 1 : 0;
    at += directory_size(count);
  }
  std::vector<size_t> language_tables, data_entries, data_at;
  for (size_t i = 0; i < all.size(); ++i, at += directory_size(1)) language_tables.push_back(at);
  for (size_t i = 0; i < all.size(); ++i, at += 16) data_entries.push_back(at);
  for (const Resource& resource : all) {
    at = (at + 7) / 8 * 8;
    data_at.push_back(at);
    at += resource.data->size();
  }
  std::string out((at + 7) / 8 * 8, '\0');
  auto put = [&out](size_t where, unsigned bytes, uint32_t value) {
    for (unsigned i = 0; i < bytes; ++i) out[where + i] = (char)(value >> (8 * i));
  };
  auto table = [&](size_t where, size_t ids) { put(where + 14, 2, (uint32_t)ids); };
  constexpr uint32_t SUBDIRECTORY = 0x80000000;
  table(0, types.size());
  for (size_t t = 0; t < types.size(); ++t) {
    put(16 + 8 * t, 4, types[t]);
    put(20 + 8 * t, 4, SUBDIRECTORY | (uint32_t)type_tables[t]);
    size_t entry = 0;
    for (size_t i = 0; i < all.size(); ++i) {
      if (all[i].type != types[t]) continue;
      put(type_tables[t] + 16 + 8 * entry, 4, all[i].id);
      put(type_tables[t] + 20 + 8 * entry, 4, SUBDIRECTORY | (uint32_t)language_tables[i]);
      ++entry;
    }
    table(type_tables[t], entry);
  }
  for (size_t i = 0; i < all.size(); ++i) {
    table(language_tables[i], 1);
    put(language_tables[i] + 16, 4, 0);  // the neutral language
    put(language_tables[i] + 20, 4, (uint32_t)data_entries[i]);
    put(data_entries[i], 4, rva + (uint32_t)data_at[i]);
    put(data_entries[i] + 4, 4, (uint32_t)all[i].data->size());
    out.replace(data_at[i], all[i].data->size(), *all[i].data);
  }
  return out;
}

}  // namespace zovari
