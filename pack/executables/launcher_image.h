// Writing a launcher from a runtime image, and finding the build area in a
// launcher again.  A runtime image is the launcher of one target, built once
// by the project's build, whose last loadable part is the build area
// (image/build_area.h) with a small placeholder.  A launcher is that image
// with the area grown to hold an application's payload and build values:
//
//   ELF: the area is the last PT_LOAD segment, read-only and page-aligned;
//        it grows in place, and what follows it in the file (the section
//        names and the section table, which no loader reads) moves behind
//        it.  Nothing is appended after the image.
//   PE:  the area is the last section, ".zovpay", initialized read-only
//        data, page-aligned in the file so that a loader can map it rather
//        than read it; a resource section written here follows it.  The
//        header's section table, sizes, resource directory, subsystem and
//        checksum are set to match.
//
// The output depends only on the runtime image and the inputs, so the same
// inputs give the same bytes on any machine.
#ifndef ZOVARI_PACK_LAUNCHER_IMAGE_H
#define ZOVARI_PACK_LAUNCHER_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace zovari {

// Bytes held elsewhere (a mapped payload, say), not owned.
struct Span {
  const unsigned char* data = nullptr;
  size_t size = 0;
};

// A launcher's bytes as pieces in file order: what the tool changes is held
// here, the payload only referred to, so a large payload is never copied in
// memory.
class ImagePieces {
 public:
  void add(std::string bytes);
  void add(Span span);
  void add_zeros(uint64_t count);
  uint64_t size() const { return size_; }
  const std::vector<Span>& pieces() const { return pieces_; }

 private:
  std::deque<std::string> owned_;
  std::vector<Span> pieces_;
  uint64_t size_ = 0;
};

// Where a build area lies in an image file.
struct BuildAreaPlace {
  bool elf = false;       // an ELF image; otherwise PE
  uint64_t offset = 0;    // of the area's first byte in the file
  uint64_t capacity = 0;  // the bytes of the file that belong to the section
};

// The build area of the ELF or PE image in data, found through its section
// table.  found is false when data is neither image format or has no such
// section; a damaged header or an area that leaves its section throws
// PackError.
bool find_build_area(const unsigned char* data, uint64_t size, BuildAreaPlace* place);

// True when data is a launcher this tool wrote: an ELF or PE image whose
// build area holds a payload.  A runtime image (its area holds none) and a
// damaged image are not.
bool is_packed_launcher(const unsigned char* data, uint64_t size);

// The runtime image's own checks: its format must be the target's (elf for
// Linux), its area the last loadable part with nothing behind it but what
// the format keeps there, with the placeholder's head.  Throws PackError
// naming the image (shown) otherwise.
void check_runtime_image(const std::string& image, bool elf, const std::string& shown);

// The launcher: the ELF runtime image with area (the head and values, then
// the payload) in place of its placeholder.
ImagePieces elf_launcher(const std::string& image, Span area_head, Span payload);

// The Windows launcher: the PE runtime image with area in place of its
// placeholder, the resource section that resources(rva) writes for the
// address it will be loaded at, and the subsystem (2 GUI, 3 console).
ImagePieces pe_launcher(const std::string& image, Span area_head, Span payload, unsigned subsystem,
                        const std::function<std::string(uint32_t rva)>& resources);

// The PE checksum of an image whose pieces are given and whose checksum
// field holds zero: the sum of its 16-bit words with the carries folded in,
// plus the file's length.
uint32_t pe_checksum(const std::vector<Span>& pieces);

}  // namespace zovari

#endif
