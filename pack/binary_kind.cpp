#include "pack/binary_kind.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "pack/error.h"
#include "pack/text.h"
#include "payload/format.h"
#include "payload/programs.h"

namespace zovari {

BinaryKind binary_kind(const unsigned char* head, size_t size) {
  BinaryKind kind;
  if (starts_like_elf(head, size)) {
    kind.format = BinaryFormat::elf;
    return kind;
  }
  if (size < 0x40 || !starts_like_windows_program(head, size)) return kind;
  // The PE signature, the file header (20 bytes), then the optional
  // header, whose subsystem field is at the same offset (68) in PE32 and PE32+.
  uint32_t pe = (uint32_t)read_little_endian(head + 0x3C, 4);
  if (pe > size || size - pe < 4 + 20 + 70 || std::memcmp(head + pe, "PE\0\0", 4) != 0) return kind;
  kind.format = BinaryFormat::pe;
  kind.subsystem = (unsigned)read_little_endian(head + pe + 4 + 20 + 68, 2);
  return kind;
}

std::string read_head(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string head(BINARY_HEAD_BYTES, '\0');
  if (in) in.read(head.data(), (std::streamsize)head.size());
  if (in.bad() || (!in && !in.eof())) throw PackError("cannot read " + quoted_path(path));
  head.resize((size_t)in.gcount());
  return head;
}

std::string subsystem_name(unsigned subsystem) {
  if (subsystem == SUBSYSTEM_CONSOLE) return "console";
  if (subsystem == SUBSYSTEM_WINDOWS) return "GUI";
  return "subsystem " + std::to_string(subsystem);
}

bool starts_like_program(const unsigned char* head, size_t size) {
  return starts_like_linux_program(head, size) || starts_like_windows_program(head, size);
}

FileKind file_kind(const unsigned char* data, uint64_t size) {
  BinaryKind kind = binary_kind(data, (size_t)std::min<uint64_t>(size, BINARY_HEAD_BYTES));
  FileKind out;
  if (kind.format == BinaryFormat::pe) out.target = "windows";
  if (kind.format == BinaryFormat::elf) out.target = "linux";
  out.subsystem = kind.subsystem;
  return out;
}

}  // namespace zovari
