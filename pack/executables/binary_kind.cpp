#include "pack/executables/binary_kind.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "pack/system/error.h"
#include "pack/system/text.h"
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

namespace {

uint64_t little64(const std::string& bytes, size_t at, size_t size) {
  return read_little_endian((const unsigned char*)bytes.data() + at, size);
}

// ELF64 constants.
constexpr size_t ELF_HEADER_SIZE = 64, ELF_PROGRAM_HEADER_SIZE = 56, ELF_DYNAMIC_ENTRY_SIZE = 16;
constexpr uint32_t ELF_INTERPRETER = 3, ELF_DYNAMIC = 2;  // PT_INTERP, PT_DYNAMIC
constexpr uint64_t ELF_FLAGS_1 = 0x6ffffffb, ELF_FLAG_1_PIE = 0x08000000;  // DT_FLAGS_1, DF_1_PIE
// No dynamic section is this large; a header that says so is not believed.
constexpr uint64_t DYNAMIC_LIMIT = 64 * 1024;

struct ProgramHeaders {
  bool readable = false;  // all of them lie in the head
  bool interpreter = false;
  uint64_t dynamic_offset = 0, dynamic_size = 0;
};

ProgramHeaders program_headers(const std::string& head) {
  ProgramHeaders out;
  if (head.size() < ELF_HEADER_SIZE) return out;
  uint64_t offset = little64(head, 32, 8), entry_size = little64(head, 54, 2), count = little64(head, 56, 2);
  if (entry_size != ELF_PROGRAM_HEADER_SIZE || offset > head.size() ||
      (head.size() - offset) / ELF_PROGRAM_HEADER_SIZE < count) {
    return out;
  }
  out.readable = true;
  for (uint64_t i = 0; i < count; ++i) {
    size_t at = (size_t)(offset + i * ELF_PROGRAM_HEADER_SIZE);
    uint64_t type = little64(head, at, 4);
    if (type == ELF_INTERPRETER) out.interpreter = true;
    if (type == ELF_DYNAMIC) {
      out.dynamic_offset = little64(head, at + 8, 8);
      out.dynamic_size = std::min(little64(head, at + 32, 8), DYNAMIC_LIMIT);
    }
  }
  return out;
}

}  // namespace

void ProgramSample::add_at(uint64_t offset, const char* data, size_t size) {
  if (offset < added_) return;  // every byte is taken once, in order
  if (offset == head_.size() && head_.size() < BINARY_HEAD_BYTES) {
    head_.append(data, std::min(size, BINARY_HEAD_BYTES - head_.size()));
  }
  added_ = offset + size;
  if (!dynamic_known_ && starts_like_elf((const unsigned char*)head_.data(), head_.size())) {
    ProgramHeaders headers = program_headers(head_);
    if (!headers.readable) return;
    dynamic_known_ = true;
    // An interpreter alone makes it a program; the section is not needed.
    if (headers.interpreter) return;
    dynamic_offset_ = headers.dynamic_offset;
    dynamic_size_ = headers.dynamic_size;
    if (dynamic_offset_ < head_.size()) {
      dynamic_ = head_.substr((size_t)dynamic_offset_, (size_t)dynamic_size_);
    }
  }
  // The part of these bytes that continues the dynamic section.
  uint64_t next = dynamic_offset_ + dynamic_.size(), end = dynamic_offset_ + dynamic_size_;
  if (dynamic_known_ && next < end && offset <= next && next < offset + size) {
    dynamic_.append(data + (next - offset), (size_t)(std::min<uint64_t>(end, offset + size) - next));
  }
}

bool ProgramSample::wanted(uint64_t* offset, uint64_t* size) const {
  if (!dynamic_known_ || dynamic_.size() >= dynamic_size_) return false;
  *offset = dynamic_offset_ + dynamic_.size();
  *size = dynamic_size_ - dynamic_.size();
  return true;
}

ProgramSample read_program_sample(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  auto refuse = [&] { return PackError("cannot read " + quoted_path(path)); };
  if (!in) throw refuse();
  ProgramSample sample;
  std::string bytes(BINARY_HEAD_BYTES, '\0');
  in.read(bytes.data(), (std::streamsize)bytes.size());
  if (in.bad()) throw refuse();
  sample.add(bytes.data(), (size_t)in.gcount());
  uint64_t offset = 0, size = 0;
  if (sample.wanted(&offset, &size)) {
    in.clear();
    in.seekg((std::streamoff)offset);
    bytes.assign((size_t)size, '\0');
    in.read(bytes.data(), (std::streamsize)size);
    if (in.bad()) throw refuse();
    sample.add_at(offset, bytes.data(), (size_t)in.gcount());
  }
  return sample;
}

namespace {

std::string hex16(uint64_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04llx", (unsigned long long)value);
  return text;
}

std::string windows_program_problem(const std::string& head) {
  size_t pe = (size_t)little64(head, 0x3C, 4);  // binary_kind found "PE\0\0" there
  const size_t file_header = pe + 4, optional = file_header + 20;
  // x86-64 images, and 32-bit x86 ones, which 64-bit Windows runs as well.
  uint64_t machine = little64(head, file_header, 2);
  if (machine != 0x8664 && machine != 0x14C) {
    const char* name = machine == 0xAA64 ? "ARM64" : machine == 0x1C4 ? "ARM" : "";
    return std::string("an image for another processor (") + (*name ? name : "machine " + hex16(machine)) +
           "), not x86-64 or x86";
  }
  uint64_t characteristics = little64(head, file_header + 18, 2);
  if ((characteristics & 0x2000) != 0) return "a DLL, not a program";
  if ((characteristics & 0x0002) == 0) return "not an executable image (no IMAGE_FILE_EXECUTABLE_IMAGE)";
  const uint64_t magic = machine == 0x8664 ? 0x20B : 0x10B;  // PE32+, PE32
  if (little64(head, file_header + 16, 2) < 70 || head.size() < optional + 70 ||
      little64(head, optional, 2) != magic) {
    return std::string("an image whose optional header does not fit its processor (not ") +
           (magic == 0x20B ? "PE32+" : "PE32") + ")";
  }
  uint64_t subsystem = little64(head, optional + 68, 2);
  if (subsystem != SUBSYSTEM_CONSOLE && subsystem != SUBSYSTEM_WINDOWS) {
    const char* name = subsystem >= 10 && subsystem <= 13 ? " (EFI)" : subsystem == 1 ? " (native)" : "";
    return "of the subsystem " + std::to_string(subsystem) + name + ", not console or GUI";
  }
  return std::string();
}

std::string linux_program_problem(const ProgramSample& sample) {
  const std::string& head = sample.head();
  if (head.compare(0, 2, "#!") == 0) return std::string();
  if (head.size() < ELF_HEADER_SIZE) return "cut short: an ELF header takes 64 bytes";
  if (head[4] != 2) return "a 32-bit ELF file, not x86-64";
  if (head[5] != 1) return "a big-endian ELF file, not x86-64";
  uint64_t machine = little64(head, 18, 2);
  if (machine != 62) return "an ELF file for another processor (machine " + std::to_string(machine) + "), not x86-64";
  uint64_t type = little64(head, 16, 2);
  if (type == 1) return "an object file (.o), not a program";
  if (type == 4) return "a core dump, not a program";
  if (type == 2) return std::string();
  if (type != 3) return "an ELF file of type " + std::to_string(type) + ", not a program";
  ProgramHeaders headers = program_headers(head);
  if (!headers.readable) return "an ELF file whose program headers cannot be read";
  if (headers.interpreter) return std::string();
  const std::string& dynamic = sample.dynamic();
  for (size_t at = 0; at + ELF_DYNAMIC_ENTRY_SIZE <= dynamic.size(); at += ELF_DYNAMIC_ENTRY_SIZE) {
    uint64_t tag = little64(dynamic, at, 8);
    if (tag == 0) break;  // DT_NULL
    if (tag == ELF_FLAGS_1 && (little64(dynamic, at + 8, 8) & ELF_FLAG_1_PIE) != 0) return std::string();
  }
  return "a shared library (.so), not a program";
}

}  // namespace

std::string program_problem(const ProgramSample& sample, const std::string& target) {
  return target == "windows" ? windows_program_problem(sample.head()) : linux_program_problem(sample);
}

std::string subsystem_name(unsigned subsystem) {
  if (subsystem == SUBSYSTEM_CONSOLE) return "console";
  if (subsystem == SUBSYSTEM_WINDOWS) return "GUI";
  return "subsystem " + std::to_string(subsystem);
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
