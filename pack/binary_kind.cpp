#include "pack/binary_kind.h"

#include <algorithm>
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


FileKind file_kind(const unsigned char* data, uint64_t size) {
  BinaryKind kind = binary_kind(data, (size_t)std::min<uint64_t>(size, kBinaryHeadBytes));
  FileKind out;
  if (kind.format == BinaryFormat::pe) out.target = "windows";
  if (kind.format == BinaryFormat::elf) out.target = "linux";
  out.subsystem = kind.subsystem;
  return out;
}

}  // namespace zovari
