#include "pack/binary_kind.h"

#include <cstring>
#include <fstream>

#include "pack/common.h"

namespace zovari {

namespace {

uint32_t little(const unsigned char* at, size_t bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < bytes; ++i) value |= (uint32_t)at[i] << (8 * i);
  return value;
}

}  // namespace

BinaryKind binary_kind(const unsigned char* head, size_t size) {
  BinaryKind kind;
  if (size >= 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0) {
    kind.format = BinaryFormat::elf;
    return kind;
  }
  if (size < 0x40 || head[0] != 'M' || head[1] != 'Z') return kind;
  // The PE signature, the file header (20 bytes), then the optional
  // header, whose subsystem field is at the same offset (68) in PE32 and PE32+.
  uint32_t pe = little(head + 0x3C, 4);
  if (pe > size || size - pe < 4 + 20 + 70 || std::memcmp(head + pe, "PE\0\0", 4) != 0) return kind;
  kind.format = BinaryFormat::pe;
  kind.subsystem = little(head + pe + 4 + 20 + 68, 2);
  return kind;
}

std::string read_head(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string head(kBinaryHeadBytes, '\0');
  if (in) in.read(head.data(), (std::streamsize)head.size());
  if (in.bad() || (!in && !in.eof())) throw PackError("cannot read " + quoted_path(path));
  head.resize((size_t)in.gcount());
  return head;
}

std::string subsystem_name(unsigned subsystem) {
  if (subsystem == kSubsystemConsole) return "console";
  if (subsystem == kSubsystemWindows) return "GUI";
  return "subsystem " + std::to_string(subsystem);
}

bool starts_like_program(const unsigned char* head, size_t size) {
  if (size >= 2 && ((head[0] == '#' && head[1] == '!') || (head[0] == 'M' && head[1] == 'Z'))) return true;
  return size >= 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0;
}

std::map<std::string, std::string> elf_build_values(const unsigned char* data, uint64_t size,
                                                    const std::vector<std::string>& names) {
  std::map<std::string, std::string> out;
  auto get = [&](uint64_t at, size_t bytes) -> uint64_t {
    uint64_t value = 0;
    if (at > size || bytes > size - at) return 0;
    for (size_t i = 0; i < bytes; ++i) value |= (uint64_t)data[at + i] << (8 * i);
    return value;
  };
  if (size < 64 || std::memcmp(data, "\x7f" "ELF", 4) != 0 || data[4] != 2 || data[5] != 1) return out;
  uint64_t sections = get(0x28, 8), count = get(0x3C, 2), entry = get(0x3A, 2);
  if (entry < 64 || sections > size || count > (size - sections) / entry) return out;
  auto section = [&](uint64_t index, size_t field, size_t bytes) {
    return get(sections + index * entry + field, bytes);
  };
  for (uint64_t index = 0; index < count; ++index) {
    if (section(index, 4, 4) != 2) continue;  // SHT_SYMTAB
    uint64_t symbols = section(index, 24, 8), length = section(index, 32, 8);
    uint64_t strings_index = section(index, 40, 4);
    if (strings_index >= count || symbols > size || length > size - symbols) return out;
    uint64_t strings = section(strings_index, 24, 8), strings_size = section(strings_index, 32, 8);
    if (strings > size || strings_size > size - strings) return out;
    for (uint64_t at = symbols; at + 24 <= symbols + length; at += 24) {
      uint64_t name_at = get(at, 4), shndx = get(at + 6, 2), value = get(at + 8, 8), bytes = get(at + 16, 8);
      if (name_at >= strings_size || shndx == 0 || shndx >= count) continue;
      const char* name = (const char*)data + strings + name_at;
      size_t name_length = strnlen(name, strings_size - name_at);
      std::string symbol(name, name_length);
      bool wanted = false;
      for (const std::string& candidate : names) wanted = wanted || candidate == symbol;
      if (!wanted) continue;
      // The value's place in the file: its section's offset plus its distance into it.
      uint64_t address = section(shndx, 16, 8), offset = section(shndx, 24, 8);
      if (value < address) continue;
      uint64_t start = offset + (value - address);
      std::u16string text;
      for (uint64_t i = 0; i + 4 <= bytes; i += 4) {
        uint32_t point = (uint32_t)get(start + i, 4);
        if (point == 0 || point > 0x10FFFF) break;
        if (point >= 0x10000) {
          text.push_back((char16_t)(0xD800 + ((point - 0x10000) >> 10)));
          text.push_back((char16_t)(0xDC00 + ((point - 0x10000) & 0x3FF)));
        } else {
          text.push_back((char16_t)point);
        }
      }
      try {
        out[symbol] = utf8_from_utf16(text);
      } catch (const PackError&) {
      }
    }
  }
  return out;
}

}  // namespace zovari
