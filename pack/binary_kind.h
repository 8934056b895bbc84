// What kind of program a file is, from its first bytes: a PE image (with its
// subsystem), an ELF file, or neither.  Picks a launcher's target and
// subsystem from its main binary, and tells list and verify what a launcher
// is.
#ifndef ZOVARI_PACK_BINARY_KIND_H
#define ZOVARI_PACK_BINARY_KIND_H

#include <cstddef>
#include <filesystem>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zovari {

enum class BinaryFormat { other, pe, elf };

// The subsystem values of the PE optional header that matter here.
inline constexpr unsigned SUBSYSTEM_WINDOWS = 2;
inline constexpr unsigned SUBSYSTEM_CONSOLE = 3;

struct BinaryKind {
  BinaryFormat format = BinaryFormat::other;
  unsigned subsystem = 0;  // PE only: the optional header's field
};

// How many leading bytes binary_kind needs at most.
inline constexpr size_t BINARY_HEAD_BYTES = 64 * 1024;

// The kind of the file whose first bytes are head (as many as there are, up
// to BINARY_HEAD_BYTES).
BinaryKind binary_kind(const unsigned char* head, size_t size);

// The first bytes of the file at path, up to BINARY_HEAD_BYTES.  Throws
// PackError naming the file when it cannot be read.
std::string read_head(const std::filesystem::path& path);

// "console", "GUI" (the windows subsystem), or the number.
std::string subsystem_name(unsigned subsystem);

// True when the first bytes (4 suffice) start like a program of either
// system: what the launcher makes executable on Linux (payload/programs.h),
// and Windows programs ("MZ"), which extract makes executable too.
bool starts_like_program(const unsigned char* head, size_t size);

// What a file holding a payload is: "windows" or "linux" for a launcher,
// empty for a payload file.
struct FileKind {
  std::string target;
  unsigned subsystem = 0;
  std::string describe() const {
    if (target.empty()) return "payload file";
    return target + " launcher" + (target == "windows" ? ", " + subsystem_name(subsystem) + " subsystem" : "");
  }
};

// The kind of the file whose size bytes are data, from its first bytes.
FileKind file_kind(const unsigned char* data, uint64_t size);

}  // namespace zovari

#endif
