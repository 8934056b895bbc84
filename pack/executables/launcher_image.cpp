#include "pack/executables/launcher_image.h"

#include <algorithm>
#include <cstring>

#include "image/build_area.h"
#include "pack/system/error.h"
#include "pack/system/text.h"

namespace zovari {

namespace {

// The page size that loaders map image files in: the build area starts on
// such a boundary in the file and in memory.
constexpr uint64_t IMAGE_PAGE_SIZE = 4096;

uint64_t get(const unsigned char* data, uint64_t at, unsigned bytes) {
  uint64_t value = 0;
  for (unsigned i = 0; i < bytes; ++i) value |= (uint64_t)data[at + i] << (8 * i);
  return value;
}

void put(std::string& data, uint64_t at, unsigned bytes, uint64_t value) {
  for (unsigned i = 0; i < bytes; ++i) data[at + i] = (char)(value >> (8 * i));
}

uint64_t align_up(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

const unsigned char* bytes_of(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// A file shorter than its own headers say: cut off by an interrupted
// download or copy, rather than damaged.
PackError cut_short(uint64_t size, uint64_t described) {
  return PackError("the file is cut short: it holds " + std::to_string(size) + " bytes, its headers describe " +
                   std::to_string(described) + " (an interrupted download or copy?)");
}

// --- ELF64 ---------------------------------------------------------------------

constexpr uint32_t ELF_LOAD = 1;

struct ElfLayout {
  uint64_t phoff, shoff;
  unsigned phnum, shnum, shstrndx;
  int area_section = -1;  // index in the section table
  uint64_t area_offset = 0, area_size = 0;
};

uint64_t elf_section(uint64_t shoff, unsigned index) { return shoff + 64 * (uint64_t)index; }
uint64_t elf_segment(uint64_t phoff, unsigned index) { return phoff + 56 * (uint64_t)index; }

bool is_elf(const unsigned char* data, uint64_t size) {
  return size >= 64 && std::memcmp(data, "\x7f" "ELF", 4) == 0;
}

// The section table of a little-endian ELF64 file and the build area's
// section in it (area_section -1 when there is none).
ElfLayout elf_layout(const unsigned char* data, uint64_t size) {
  if (data[4] != 2 || data[5] != 1) throw PackError("not a little-endian 64-bit ELF image");
  ElfLayout layout;
  layout.phoff = get(data, 32, 8);
  layout.shoff = get(data, 40, 8);
  layout.phnum = (unsigned)get(data, 56, 2);
  layout.shnum = (unsigned)get(data, 60, 2);
  layout.shstrndx = (unsigned)get(data, 62, 2);
  // Offsets beyond any file (2^48 bytes) are damage, not a cut.
  const uint64_t limit = (uint64_t)1 << 48;
  if (get(data, 54, 2) != 56 || get(data, 58, 2) != 64 || layout.shstrndx >= layout.shnum ||
      layout.phoff > limit || layout.shoff > limit) {
    throw PackError("the ELF image's program or section table lies outside the file");
  }
  // The section table comes last in the file: a cut anywhere takes it.
  const uint64_t described = std::max(layout.phoff + 56 * (uint64_t)layout.phnum, layout.shoff + 64 * (uint64_t)layout.shnum);
  if (described > size) throw cut_short(size, described);
  uint64_t names = elf_section(layout.shoff, layout.shstrndx);
  uint64_t names_at = get(data, names + 24, 8), names_size = get(data, names + 32, 8);
  if (names_at > size || names_size > size - names_at) {
    throw PackError("the ELF image's section names lie outside the file");
  }
  const size_t wanted = sizeof BUILD_AREA_SECTION;  // with its NUL
  for (unsigned i = 0; i < layout.shnum; ++i) {
    uint64_t header = elf_section(layout.shoff, i);
    uint64_t name = get(data, header, 4);
    if (name >= names_size || names_size - name < wanted ||
        std::memcmp(data + names_at + name, BUILD_AREA_SECTION, wanted) != 0) {
      continue;
    }
    layout.area_section = (int)i;
    layout.area_offset = get(data, header + 24, 8);
    layout.area_size = get(data, header + 32, 8);
    if (layout.area_offset > size || layout.area_size > size - layout.area_offset) {
      throw PackError("the ELF image's build area lies outside the file");
    }
  }
  return layout;
}

// --- PE32+ ----------------------------------------------------------------------

constexpr unsigned SECTION_HEADER_SIZE = 40;
constexpr unsigned RESOURCE_DIRECTORY = 2;
constexpr unsigned CERTIFICATE_DIRECTORY = 4;
constexpr uint32_t INITIALIZED_DATA = 0x00000040;
constexpr uint32_t READABLE = 0x40000000;

struct PeLayout {
  uint64_t optional;  // the optional header
  uint64_t sections;  // the section table
  unsigned count;     // sections
  uint32_t file_alignment, section_alignment;
  uint64_t headers_size;
  unsigned directory_count;
  int area_section = -1;
};

bool is_pe(const unsigned char* data, uint64_t size) {
  if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') return false;
  uint64_t header = get(data, 0x3c, 4);
  return header <= size - 24 && std::memcmp(data + header, "PE\0\0", 4) == 0;
}

uint64_t pe_section(const PeLayout& layout, unsigned index) {
  return layout.sections + (uint64_t)SECTION_HEADER_SIZE * index;
}

uint64_t pe_directory(const PeLayout& layout, unsigned index) { return layout.optional + 112 + 8 * index; }

PeLayout pe_layout(const unsigned char* data, uint64_t size) {
  uint64_t header = get(data, 0x3c, 4);
  PeLayout layout;
  layout.count = (unsigned)get(data, header + 6, 2);
  uint64_t optional_size = get(data, header + 20, 2);
  layout.optional = header + 24;
  // A file cut inside its headers is cut short, not of another kind.
  if (layout.optional + 2 <= size && get(data, layout.optional, 2) != 0x20b) {
    throw PackError("not a 64-bit PE image (PE32+)");
  }
  if (layout.optional + std::max<uint64_t>(optional_size, 112) > size) {
    throw cut_short(size, layout.optional + std::max<uint64_t>(optional_size, 112));
  }
  layout.sections = layout.optional + optional_size;
  layout.section_alignment = (uint32_t)get(data, layout.optional + 32, 4);
  layout.file_alignment = (uint32_t)get(data, layout.optional + 36, 4);
  layout.headers_size = get(data, layout.optional + 60, 4);
  layout.directory_count = (unsigned)get(data, layout.optional + 108, 4);
  const uint64_t table_end = layout.sections + (uint64_t)SECTION_HEADER_SIZE * layout.count;
  if (table_end > size && table_end <= std::max<uint64_t>(layout.headers_size, 4096)) {
    throw cut_short(size, table_end);
  }
  if (table_end > size ||
      112 + 8 * (uint64_t)layout.directory_count > optional_size || layout.directory_count <= CERTIFICATE_DIRECTORY ||
      layout.file_alignment == 0 ||
      layout.section_alignment < layout.file_alignment) {
    throw PackError("the PE image's headers are damaged");
  }
  // Each section's data, and a signature's certificate table, must lie in
  // the file: the last of them ends where the file ends.
  uint64_t described = get(data, pe_directory(layout, CERTIFICATE_DIRECTORY), 4) +
                       get(data, pe_directory(layout, CERTIFICATE_DIRECTORY) + 4, 4);
  for (unsigned i = 0; i < layout.count; ++i) {
    const uint64_t section = pe_section(layout, i);
    described = std::max(described, get(data, section + 20, 4) + get(data, section + 16, 4));
  }
  if (described > size) throw cut_short(size, described);
  for (unsigned i = 0; i < layout.count; ++i) {
    if (std::memcmp(data + pe_section(layout, i), BUILD_AREA_SECTION "\0", 8) == 0) {
      layout.area_section = (int)i;
    }
  }
  return layout;
}

// Checks the head of a build area at data[offset], in a section of capacity
// bytes: that it is one, of this tool's layout or an earlier one
// (image/build_area.h), and that everything it names lies inside the area.
// Throws PackError otherwise.
void check_area_head(const unsigned char* data, uint64_t offset, uint64_t capacity) {
  const unsigned char* head = data + offset;
  if (capacity < build_area_head_size(BUILD_LAYOUT_SEVEN) ||
      std::memcmp(head, BUILD_AREA_MARKER, BUILD_AREA_MARKER_SIZE) != 0) {
    throw PackError("the section " BUILD_AREA_SECTION " does not hold a build area");
  }
  const uint64_t count = get(head, 40, 8);
  if (build_value_slot(count, BUILD_FIXED_ARGUMENTS) < 0) {
    throw PackError("the build area holds " + std::to_string(count) +
                    " build values; this zovari-pack reads 7, 8, 9 and " + std::to_string(BUILD_VALUE_COUNT) +
                    " (a launcher of a later version, or damaged?)");
  }
  const uint64_t size = get(head, 16, 8);
  const uint64_t payload = get(head, 24, 8), length = get(head, 32, 8);
  if (capacity < build_area_head_size(count) || size > capacity || size < build_area_head_size(count) ||
      payload > size || length > size - payload) {
    throw PackError("the build area's sizes do not fit its section");
  }
  for (unsigned i = 0; i < count; ++i) {
    if (get(head, 48 + 8 * i, 8) >= size) throw PackError("a build value lies outside the build area");
  }
}

}  // namespace

void ImagePieces::add(std::string bytes) {
  owned_.push_back(std::move(bytes));
  add(Span{bytes_of(owned_.back()), owned_.back().size()});
}

void ImagePieces::add(Span span) {
  if (span.size == 0) return;
  pieces_.push_back(span);
  size_ += span.size;
}

void ImagePieces::add_zeros(uint64_t count) {
  if (count > 0) add(std::string((size_t)count, '\0'));
}

bool find_build_area(const unsigned char* data, uint64_t size, BuildAreaPlace* place) {
  if (size >= 4 && size < 64 && std::memcmp(data, "\x7f" "ELF", 4) == 0) {
    throw cut_short(size, 64);  // inside its ELF header
  } else if (is_elf(data, size)) {
    ElfLayout layout = elf_layout(data, size);
    if (layout.area_section < 0) return false;
    *place = {true, layout.area_offset, layout.area_size};
  } else if (size >= 2 && data[0] == 'M' && data[1] == 'Z' && (size < 0x40 || get(data, 0x3c, 4) + 24 > size)) {
    throw cut_short(size, size < 0x40 ? 0x40 : get(data, 0x3c, 4) + 24);  // before its PE header
  } else if (is_pe(data, size)) {
    PeLayout layout = pe_layout(data, size);
    if (layout.area_section < 0) return false;
    uint64_t header = pe_section(layout, (unsigned)layout.area_section);
    uint64_t at = get(data, header + 20, 4);
    uint64_t capacity = std::min(get(data, header + 8, 4), get(data, header + 16, 4));
    if (at > size || capacity > size - at) throw PackError("the PE image's build area lies outside the file");
    *place = {false, at, capacity};
  } else {
    return false;
  }
  check_area_head(data, place->offset, place->capacity);
  return true;
}

bool is_packed_launcher(const unsigned char* data, uint64_t size) {
  try {
    BuildAreaPlace area;
    return find_build_area(data, size, &area) && get(data, area.offset + 32, 8) != 0;
  } catch (const PackError&) {
    return false;
  }
}

void check_runtime_image(const std::string& image, bool elf, const std::string& shown) {
  const unsigned char* data = bytes_of(image);
  const uint64_t size = image.size();
  const char* format = elf ? "an ELF image (a Linux runtime)" : "a PE image (a Windows runtime)";
  if (elf ? !is_elf(data, size) : !is_pe(data, size)) {
    throw PackError("the runtime image " + shown + " is not " + format);
  }
  try {
    BuildAreaPlace place;
    if (!find_build_area(data, size, &place)) {
      throw PackError("it has no section " BUILD_AREA_SECTION " for the build area");
    }
    if (get(data, place.offset + 32, 8) != 0) {
      throw PackError("it is a finished launcher, whose build area holds a payload already; name the " +
                      std::string(elf ? "Linux" : "Windows") + " runtime image (zovari-launcher" +
                      (elf ? "" : ".exe") + ") itself");
    }
    if (get(data, place.offset + 40, 8) != BUILD_VALUE_COUNT) {
      throw PackError("its build area holds " + std::to_string(get(data, place.offset + 40, 8)) +
                      " build values; this zovari-pack writes " + std::to_string(BUILD_VALUE_COUNT) +
                      " (a runtime image of another version?)");
    }
    if (elf) {
      ElfLayout layout = elf_layout(data, size);
      for (unsigned i = 0; i < layout.phnum; ++i) {
        uint64_t segment = elf_segment(layout.phoff, i);
        uint64_t end = get(data, segment + 8, 8) + get(data, segment + 32, 8);
        bool area = get(data, segment + 8, 8) == place.offset && get(data, segment, 4) == ELF_LOAD;
        if (!area && end > place.offset && get(data, segment + 32, 8) > 0) {
          throw PackError("its build area is not the last part of the image that is loaded");
        }
        if (area && (get(data, segment + 32, 8) != place.capacity || place.offset % IMAGE_PAGE_SIZE != 0)) {
          throw PackError("its build area is not a page-aligned segment of its own");
        }
      }
      // The image ends where the last of its parts does: anything behind
      // that would be copied into every launcher.
      uint64_t end = std::max<uint64_t>(layout.shoff + 64 * (uint64_t)layout.shnum,
                                        layout.phoff + 56 * (uint64_t)layout.phnum);
      for (unsigned i = 0; i < layout.shnum; ++i) {
        uint64_t header = elf_section(layout.shoff, i);
        if ((int)i != layout.area_section && (get(data, header + 8, 8) & 2) != 0 &&
            get(data, header + 16, 8) >= get(data, elf_section(layout.shoff, layout.area_section) + 16, 8)) {
          throw PackError("a loaded section follows its build area");
        }
        const uint32_t NO_BITS = 8;
        if (get(data, header + 4, 4) != NO_BITS) end = std::max(end, get(data, header + 24, 8) + get(data, header + 32, 8));
      }
      for (unsigned i = 0; i < layout.phnum; ++i) {
        uint64_t segment = elf_segment(layout.phoff, i);
        end = std::max(end, get(data, segment + 8, 8) + get(data, segment + 32, 8));
      }
      if (end < size) throw PackError(std::to_string(size - end) + " bytes follow the end of the image");
    } else {
      PeLayout layout = pe_layout(data, size);
      uint64_t header = pe_section(layout, (unsigned)layout.area_section);
      if ((unsigned)layout.area_section != layout.count - 1) {
        throw PackError("its build area is not its last section");
      }
      if (get(data, header + 20, 4) + get(data, header + 16, 4) != size) {
        throw PackError("data follows its last section");
      }
      if (get(data, pe_directory(layout, RESOURCE_DIRECTORY) + 4, 4) != 0 ||
          get(data, pe_directory(layout, CERTIFICATE_DIRECTORY) + 4, 4) != 0) {
        throw PackError("it already has resources or a signature");
      }
      uint64_t free_at = pe_section(layout, layout.count);
      if (free_at + SECTION_HEADER_SIZE > layout.headers_size) {
        throw PackError("its headers have no room for the resource section's entry");
      }
    }
  } catch (const PackError& error) {
    throw PackError("the runtime image " + shown + " cannot hold a build area: " + error.what());
  }
}

ImagePieces elf_launcher(const std::string& image, Span area_head, Span payload) {
  const unsigned char* data = bytes_of(image);
  ElfLayout layout = elf_layout(data, image.size());
  const uint64_t old_end = layout.area_offset + layout.area_size;
  const uint64_t area_size = area_head.size + payload.size;
  // What follows the area (the section names, the section table) moves by a
  // multiple of 64 bytes, which keeps every alignment it had.
  const uint64_t shift = align_up(area_size > layout.area_size ? area_size - layout.area_size : 0, 64);
  std::string head = image.substr(0, (size_t)layout.area_offset);
  std::string tail = image.substr((size_t)old_end);
  for (unsigned i = 0; i < layout.phnum; ++i) {
    uint64_t segment = elf_segment(layout.phoff, i);
    if (get(data, segment, 4) == ELF_LOAD && get(data, segment + 8, 8) == layout.area_offset) {
      put(head, segment + 32, 8, area_size);  // p_filesz
      put(head, segment + 40, 8, area_size);  // p_memsz
    }
  }
  // The section table lies in the tail: its offsets there are relative to it.
  auto section_field = [&](unsigned index, unsigned field) -> std::pair<std::string*, uint64_t> {
    uint64_t at = elf_section(layout.shoff, index) + field;
    if (at >= old_end) return {&tail, at - old_end};
    return {&head, at};
  };
  for (unsigned i = 0; i < layout.shnum; ++i) {
    auto [offset_text, offset_at] = section_field(i, 24);
    uint64_t offset = get(bytes_of(*offset_text), offset_at, 8);
    if ((int)i == layout.area_section) {
      auto [size_text, size_at] = section_field(i, 32);
      put(*size_text, size_at, 8, area_size);
    } else if (offset >= old_end) {
      put(*offset_text, offset_at, 8, offset + shift);
    }
  }
  if (layout.shoff >= old_end) put(head, 40, 8, layout.shoff + shift);
  ImagePieces out;
  out.add(std::move(head));
  out.add(area_head);
  out.add(payload);
  out.add_zeros(layout.area_size + shift - area_size);
  out.add(std::move(tail));
  return out;
}

ImagePieces pe_launcher(const std::string& image, Span area_head, Span payload, unsigned subsystem,
                        const std::function<std::string(uint32_t rva)>& resources) {
  const unsigned char* data = bytes_of(image);
  PeLayout layout = pe_layout(data, image.size());
  const uint64_t area_header = pe_section(layout, (unsigned)layout.area_section);
  const uint64_t old_at = get(data, area_header + 20, 4);
  const uint64_t old_raw = get(data, area_header + 16, 4);
  const uint64_t area_rva = get(data, area_header + 12, 4);
  const uint64_t area_size = area_head.size + payload.size;
  // Page-aligned in the file, so that a loader can map the area.
  const uint64_t area_at = align_up(old_at, IMAGE_PAGE_SIZE);
  const uint64_t area_raw = align_up(area_size, layout.file_alignment);
  const uint64_t resource_rva = align_up(area_rva + area_size, layout.section_alignment);
  const std::string resource_bytes = resources((uint32_t)resource_rva);
  const uint64_t resource_at = area_at + area_raw;
  const uint64_t resource_raw = align_up(resource_bytes.size(), layout.file_alignment);
  const uint64_t image_size = align_up(resource_rva + resource_bytes.size(), layout.section_alignment);
  if (resource_at + resource_raw > UINT32_MAX || image_size > UINT32_MAX) {
    throw PackError("the payload is too large for a Windows image (4 GiB at most)");
  }

  std::string head = image.substr(0, (size_t)old_at);
  put(head, area_header + 8, 4, area_size);   // VirtualSize
  put(head, area_header + 16, 4, area_raw);   // SizeOfRawData
  put(head, area_header + 20, 4, area_at);    // PointerToRawData
  const uint64_t resource_header = pe_section(layout, layout.count);
  std::string section(SECTION_HEADER_SIZE, '\0');
  std::memcpy(&section[0], ".rsrc", 5);
  put(section, 8, 4, resource_bytes.size());
  put(section, 12, 4, resource_rva);
  put(section, 16, 4, resource_raw);
  put(section, 20, 4, resource_at);
  put(section, 36, 4, INITIALIZED_DATA | READABLE);
  head.replace(resource_header, SECTION_HEADER_SIZE, section);
  const uint64_t header = get(data, 0x3c, 4);
  put(head, header + 6, 2, layout.count + 1);
  const uint64_t initialized = get(data, layout.optional + 8, 4);
  put(head, layout.optional + 8, 4, initialized - old_raw + area_raw + resource_raw);
  put(head, layout.optional + 56, 4, image_size);
  put(head, layout.optional + 68, 2, subsystem);
  put(head, pe_directory(layout, RESOURCE_DIRECTORY), 4, resource_rva);
  put(head, pe_directory(layout, RESOURCE_DIRECTORY) + 4, 4, resource_bytes.size());
  const uint64_t checksum_at = layout.optional + 64;
  put(head, checksum_at, 4, 0);

  ImagePieces out;
  out.add(std::move(head));
  out.add_zeros(area_at - old_at);
  out.add(area_head);
  out.add(payload);
  out.add_zeros(area_raw - area_size);
  out.add(resource_bytes);
  out.add_zeros(resource_raw - resource_bytes.size());
  // The checksum goes into the first piece, which holds the headers.
  uint32_t checksum = pe_checksum(out.pieces());
  unsigned char* first = const_cast<unsigned char*>(out.pieces().front().data);
  for (unsigned i = 0; i < 4; ++i) first[checksum_at + i] = (unsigned char)(checksum >> (8 * i));
  return out;
}

uint32_t pe_checksum(const std::vector<Span>& pieces) {
  // 16-bit words summed in 64 bits and folded once at the end: the same
  // value as folding after every word, and far quicker over a payload.
  uint64_t sum = 0, length = 0;
  int low = -1;  // a byte waiting for its high half across pieces
  for (const Span& piece : pieces) {
    const unsigned char* at = piece.data;
    size_t left = piece.size;
    length += left;
    if (low >= 0 && left > 0) {
      sum += (uint64_t)low | (uint64_t)*at++ << 8;
      --left;
      low = -1;
    }
    for (; left >= 2; left -= 2, at += 2) sum += (uint64_t)at[0] | (uint64_t)at[1] << 8;
    if (left == 1) low = *at;
  }
  if (low >= 0) sum += (uint64_t)low;
  while (sum >> 16 != 0) sum = (sum & 0xffff) + (sum >> 16);
  return (uint32_t)(sum + length);
}

}  // namespace zovari
