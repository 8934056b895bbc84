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

// The bytes of a main binary that judging it takes: its first
// BINARY_HEAD_BYTES, and for an ELF file, the part of its dynamic section that
// says whether it is a position-independent program or a shared library.
// Fed the file's bytes in order, it keeps those and nothing else.
class ProgramSample {
 public:
  // The next bytes of the file.
  void add(const char* data, size_t size) { add_at(added_, data, size); }
  // Bytes of the file from offset on (a reader that skipped ahead).
  void add_at(uint64_t offset, const char* data, size_t size);
  // Where the bytes still wanted lie, once the head is in: false when none.
  bool wanted(uint64_t* offset, uint64_t* size) const;
  const std::string& head() const { return head_; }
  const std::string& dynamic() const { return dynamic_; }

 private:
  std::string head_, dynamic_;
  uint64_t added_ = 0;  // where the next add starts
  uint64_t dynamic_offset_ = 0, dynamic_size_ = 0;
  bool dynamic_known_ = false;  // the program headers have been read
};

// The sample of the file at path, read with a seek where the dynamic section
// lies beyond the head.  Throws PackError naming the file when it cannot be
// read.
ProgramSample read_program_sample(const std::filesystem::path& path);

// Whether a launcher for target ("windows" or "linux") can start the main
// binary of this sample, given that binary_kind found the target's format in
// it (or "#!" for Linux).  Empty when it can; otherwise what the file is, to
// read after "it is": for Windows it must be an x86-64 image (PE32+), or a
// 32-bit x86 one (PE32), that is no DLL, of the console or GUI subsystem;
// for Linux a "#!" script or a 64-bit little-endian x86-64 ELF executable,
// position-independent ones included (ET_DYN with an interpreter, or
// flagged DF_1_PIE), not an object file or a shared library.
std::string program_problem(const ProgramSample& sample, const std::string& target);

// "console", "GUI" (the windows subsystem), or the number.
std::string subsystem_name(unsigned subsystem);

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
