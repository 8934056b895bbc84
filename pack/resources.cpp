#include "pack/resources.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include "pack/icon.h"
#include "pack/common.h"

namespace zovari {
namespace {

// A version string longer than this is refused: the whole version record
// must stay well below its 64 KiB limit.
constexpr size_t kMaxValueUnits = 2048;

constexpr const char* kGroupFileName = "icon-group.bin";
constexpr const char* kManifestFileName = "manifest.xml";

// The launcher's manifest: one line of UTF-8 XML without declaration.
constexpr const char* kManifest =
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
    "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"
    "</requestedPrivileges></security></trustInfo>"
    "</assembly>";

// The resource script: its head (%s: the version header), the icon lines,
// then the version record and the manifest (%s: its file).
constexpr const char* kScriptHead =
    "// Resources of a Zovari Onefile launcher, written by zovari-pack.\n"
    "// Every value of the version record comes from one header.\n"
    "#include \"%s\"\n"
    "\n"
    "LANGUAGE 0, 0\n"
    "\n"
    "// The icons as raw resources of type 3 (RT_ICON) and their group as one of\n"
    "// type 14 (RT_GROUP_ICON): windres's ICON statement would write planes 1.\n";

constexpr const char* kScriptVersion =
    "\n"
    "1 VERSIONINFO\n"
    "FILEVERSION ZOVARI_FILE_VERSION_NUMBERS\n"
    "PRODUCTVERSION ZOVARI_PRODUCT_VERSION_NUMBERS\n"
    "FILEFLAGSMASK 0x3F\n"
    "FILEFLAGS 0x0\n"
    "FILEOS 0x4\n"
    "FILETYPE 0x1\n"
    "FILESUBTYPE 0x0\n"
    "BEGIN\n"
    "  BLOCK \"StringFileInfo\"\n"
    "  BEGIN\n"
    "    BLOCK \"000004b0\"\n"
    "    BEGIN\n"
    "      VALUE \"CompanyName\", ZOVARI_COMPANY_NAME\n"
    "      VALUE \"ProductName\", ZOVARI_PRODUCT_NAME\n"
    "      VALUE \"FileDescription\", ZOVARI_FILE_DESCRIPTION\n"
    "      VALUE \"LegalCopyright\", ZOVARI_LEGAL_COPYRIGHT\n"
    "      VALUE \"ProductVersion\", ZOVARI_PRODUCT_VERSION\n"
    "      VALUE \"FileVersion\", ZOVARI_FILE_VERSION\n"
    "      VALUE \"OriginalFilename\", ZOVARI_ORIGINAL_FILENAME\n"
    "      VALUE \"InternalName\", ZOVARI_INTERNAL_NAME\n"
    "    END\n"
    "  END\n"
    "  BLOCK \"VarFileInfo\"\n"
    "  BEGIN\n"
    "    VALUE \"Translation\", 0x0000, 0x04B0\n"
    "  END\n"
    "END\n"
    "\n"
    "1 24 \"%s\"\n";

std::string icon_file_name(int size) { return "icon-" + std::to_string(size) + ".png"; }

bool is_hex_digit(char16_t unit) {
  return (unit >= '0' && unit <= '9') || (unit >= 'a' && unit <= 'f') ||
         (unit >= 'A' && unit <= 'F');
}

// A wide string literal that windres and C both read as exactly value:
// printable ASCII as itself, "\\" for a backslash, and every other unit
// (quotes and non-ASCII included) as \xHHHH.  A C hex escape runs on over
// every hex digit that follows (windres stops at four), so the literal is
// split after an escape that a hex digit follows; both join adjacent literals.
std::string wide_literal(const std::u16string& value) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "L\"";
  bool after_escape = false;
  for (size_t i = 0; i < value.size(); ++i) {
    char16_t unit = value[i];
    if (after_escape && is_hex_digit(unit)) out += "\" L\"";
    after_escape = false;
    bool question_pair = unit == '?' && i + 1 < value.size() && value[i + 1] == '?';  // trigraphs
    if (unit == '\\') {
      out += "\\\\";
    } else if (unit >= 0x20 && unit < 0x7f && unit != '"' && !question_pair) {
      out.push_back(static_cast<char>(unit));
    } else {
      out += "\\x";
      for (int shift = 12; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 0xf]);
      after_escape = true;
    }
  }
  return out + "\"";
}

// The value of the version record's key as a checked wide literal.
std::string version_string(const char* key, const std::string& value) {
  if (!is_utf8(value)) {
    throw PackError(std::string("the version value ") + key + " is not valid UTF-8");
  }
  std::u16string units = utf16_from_utf8(value);
  if (units.find(u'\0') != std::u16string::npos) {
    throw PackError(std::string("the version value ") + key + " holds a NUL character");
  }
  if (units.size() > kMaxValueUnits) {
    throw PackError(std::string("the version value ") + key + " is longer than " +
                    std::to_string(kMaxValueUnits) + " characters");
  }
  return wide_literal(units);
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

// The one header that holds every version value of the record.
std::string version_header(const VersionValues& values) {
  std::vector<unsigned> file = version_numbers("FileVersion", values.file_version);
  std::vector<unsigned> product = version_numbers("ProductVersion", values.product_version);
  const std::pair<const char*, std::string> strings[] = {
      {"COMPANY_NAME", version_string("CompanyName", values.company)},
      {"PRODUCT_NAME", version_string("ProductName", values.product)},
      {"FILE_DESCRIPTION", version_string("FileDescription", values.description)},
      {"LEGAL_COPYRIGHT", version_string("LegalCopyright", values.copyright)},
      {"PRODUCT_VERSION", version_string("ProductVersion", values.product_version_text.empty()
                                                           ? joined(product, ".")
                                                           : values.product_version_text)},
      {"FILE_VERSION", version_string("FileVersion", joined(file, "."))},
      {"ORIGINAL_FILENAME", version_string("OriginalFilename", values.original_filename)},
      {"INTERNAL_NAME", version_string("InternalName", values.internal_name)},
  };
  std::string out =
      "// Generated by zovari-pack: the version values of one launcher, the single\n"
      "// source of its version record.  The strings are wide literals that the\n"
      "// resource compiler and C alike read.\n"
      "#ifndef ZOVARI_VERSION_VALUES_H\n"
      "#define ZOVARI_VERSION_VALUES_H\n"
      "#define ZOVARI_FILE_VERSION_NUMBERS " + joined(file, ",") + "\n"
      "#define ZOVARI_PRODUCT_VERSION_NUMBERS " + joined(product, ",") + "\n";
  for (const auto& [name, literal] : strings) {
    out += std::string("#define ZOVARI_") + name + " " + literal + "\n";
  }
  return out + "#endif\n";
}

// A script part with its one %s replaced by name.
std::string with_name(const char* text, const char* name) {
  std::string out = text;
  return out.replace(out.find("%s"), 2, name);
}

std::string resource_script(const std::vector<IconImage>& images) {
  std::string out = with_name(kScriptHead, kVersionHeaderName);
  for (size_t i = 0; i < images.size(); ++i) {
    out += std::to_string(i + 1) + " 3 \"" + icon_file_name(images[i].size) + "\"\n";
  }
  out += std::string("1 14 \"") + kGroupFileName + "\"\n";
  return out + with_name(kScriptVersion, kManifestFileName);
}

void write_file(const std::filesystem::path& path, const std::string& contents) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool ok = file != nullptr &&
            std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
  int error = errno;
  if (file != nullptr && std::fclose(file) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    throw PackError("cannot write \"" + path.string() + "\": " + std::strerror(error));
  }
}

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

std::filesystem::path write_windows_resources(const std::filesystem::path& workdir,
                                              const VersionValues& values,
                                              const std::filesystem::path& icon_png) {
  if (icon_png.empty()) return write_windows_resources(workdir, values, std::string(), std::string());
  return write_windows_resources(workdir, values, read_icon_file(icon_png), icon_png.string());
}

std::filesystem::path write_windows_resources(const std::filesystem::path& workdir,
                                              const VersionValues& values,
                                              const std::string& icon_png,
                                              const std::string& icon_name) {
  // Everything is checked and made in memory before the first file is written.
  std::string header = version_header(values);
  std::vector<IconImage> images =
      icon_name.empty() ? make_icon_images(default_icon_png(), "build/icon.png (built in)")
                        : make_icon_images(icon_png, icon_name);
  std::string script = resource_script(images);

  std::error_code error;
  std::filesystem::create_directories(workdir, error);
  if (error) {
    throw PackError("cannot create \"" + workdir.string() + "\": " + error.message());
  }
  for (const IconImage& image : images) write_file(workdir / icon_file_name(image.size), image.png);
  write_file(workdir / kGroupFileName, icon_group_directory(images, 1));
  write_file(workdir / kManifestFileName, kManifest);
  write_file(workdir / kVersionHeaderName, header);
  std::filesystem::path script_path = workdir / kResourceScriptName;
  write_file(script_path, script);
  return script_path;
}

}  // namespace zovari
