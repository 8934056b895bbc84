#include "pack/system/text.h"

#include <cstdint>
#include <cstdio>

#include "platform/utf8.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

// The UTF-16 form of text; false when it is not valid UTF-8.
bool decode_utf8(const std::string& text, std::u16string* out) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    uint32_t code = 0;
    size_t used = utf8_decode(bytes + i, text.size() - i, &code);
    if (used == 0) return false;
    char16_t units[2];
    out->append(units, utf16_encode(code, units));
    i += used;
  }
  return true;
}

}  // namespace

std::u16string utf16_from_utf8(const std::string& text) {
  std::u16string out;
  if (!decode_utf8(text, &out)) throw PackError("text is not valid UTF-8");
  return out;
}

bool is_utf8(const std::string& text) {
  std::u16string ignored;
  return decode_utf8(text, &ignored);
}

std::string utf8_from_utf16(const std::u16string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    uint32_t code = 0;
    size_t used = utf16_decode(text.data() + i, text.size() - i, &code);
    if (used == 0) throw PackError("text is not valid UTF-16");
    unsigned char bytes[4];
    out.append(reinterpret_cast<const char*>(bytes), utf8_encode(code, bytes));
    i += used;
  }
  return out;
}

std::string in_quotes(const std::string& text) { return "\"" + text + "\""; }

std::string quoted_path(const fs::path& path) {
  const std::string text = path.u8string();
  const bool valid = is_utf8(text);
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || (!valid && c >= 0x80)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", c);
      out += escape;
    } else {
      out.push_back((char)c);
    }
  }
  return out + "\"";
}

void print_warning(const std::string& text) {
  std::fprintf(stderr, "zovari-pack: warning: %s\n", text.c_str());
}

}  // namespace zovari
