#include "pack/executables/icon.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>

#include "pack/system/error.h"
#include "pack/system/system.h"
#include "pack/system/text.h"
#include "payload/format.h"

// Debian's libstb-dev, compiled into this file only, with every function static.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#include <stb/stb_image.h>
#define STB_IMAGE_RESIZE_STATIC
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb/stb_image_resize.h>
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>

#ifdef ZOVARI_DEFAULT_ICON_PNG
// image/icon.png built into the program: ZOVARI_DEFAULT_ICON_PNG is its path
// as a string literal, given by the build.
extern "C" const char zovari_default_icon_start[];
extern "C" const char zovari_default_icon_end[];
// PE assemblers know no .pushsection: the read-only section is named, then
// the code section taken up again.
#ifdef _WIN32
#define ZOVARI_ICON_SECTION ".section .rdata,\"dr\"\n"
#else
#define ZOVARI_ICON_SECTION ".section .rodata\n"
#endif
asm(ZOVARI_ICON_SECTION
    "zovari_default_icon_start:\n"
    ".incbin \"" ZOVARI_DEFAULT_ICON_PNG "\"\n"
    "zovari_default_icon_end:\n"
    ".text\n");
#endif

namespace zovari {
namespace {

// Limits checked before anything is decoded: a 4096-pixel square decodes to
// 64 MiB of RGBA, and no icon source needs more.
constexpr int MAX_SOURCE_SIDE = 4096;
constexpr long MAX_ICON_FILE_BYTES = 16L << 20;
constexpr unsigned char PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

using Pixels = std::vector<unsigned char>;  // RGBA, 8 bits per channel, rows top down

// PNG keeps its numbers big-endian.
uint32_t big_endian32(std::string_view data, size_t at) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data() + at);
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// True when the chunks after the signature follow each other whole up to the
// IEND chunk: a cut-short file gets its own message instead of the decoder's.
bool chunks_reach_end(const std::string& png) {
  size_t pos = sizeof PNG_SIGNATURE;
  while (png.size() - pos >= 12) {
    uint32_t length = big_endian32(png, pos);
    if (length > png.size() - pos - 12) return false;
    if (png.compare(pos + 4, 4, "IEND") == 0) return true;
    pos += 12 + size_t{length};
  }
  return false;
}

// The image header's bit depth and colour type, checked against the
// combinations PNG allows; empty when they are good.
std::string header_problem(const std::string& png) {
  const auto* at = reinterpret_cast<const unsigned char*>(png.data()) + sizeof PNG_SIGNATURE;
  if (png.size() < sizeof PNG_SIGNATURE + 8 + 13 || std::memcmp(at + 4, "IHDR", 4) != 0) {
    return "it does not start with an IHDR chunk";
  }
  int depth = at[16], colour = at[17];
  const char* allowed = colour == 0 ? "\1\2\4\10\20" : colour == 3 ? "\1\2\4\10"
                      : (colour == 2 || colour == 4 || colour == 6) ? "\10\20" : "";
  if (depth == 0 || std::strchr(allowed, depth) == nullptr) {
    return "bit depth " + std::to_string(depth) + " with colour type " + std::to_string(colour) +
           " is not one PNG allows";
  }
  return std::string();
}

// Why the decoder failed.  It names most failures, not all: a deflate block
// of the reserved type 3, say, fails without a reason.
std::string decoder_reason() {
  const char* reason = stbi_failure_reason();
  return reason != nullptr ? reason : "its compressed image data cannot be decoded";
}

// The decoded image centred on a transparent square whose side is its longer side.
Pixels square_canvas(const unsigned char* rgba, int width, int height, int* side) {
  *side = std::max(width, height);
  Pixels canvas(static_cast<size_t>(*side) * *side * 4, 0);
  int left = (*side - width) / 2;
  int top = (*side - height) / 2;
  for (int y = 0; y < height; ++y) {
    std::memcpy(&canvas[(static_cast<size_t>(top + y) * *side + left) * 4],
                rgba + static_cast<size_t>(y) * width * 4, static_cast<size_t>(width) * 4);
  }
  return canvas;
}

// Resamples in sRGB space with alpha-weighted filtering (Mitchell when
// shrinking, Catmull-Rom when enlarging); a same-size copy is left untouched.
Pixels resample(const Pixels& source, int side, int size) {
  if (side == size) return source;
  Pixels output(static_cast<size_t>(size) * size * 4);
  if (!stbir_resize_uint8_generic(source.data(), side, side, side * 4, output.data(), size, size,
                                  size * 4, 4, 3, 0, STBIR_EDGE_CLAMP, STBIR_FILTER_DEFAULT,
                                  STBIR_COLORSPACE_SRGB, nullptr)) {
    throw PackError("out of memory while resizing the icon to " + std::to_string(size) + " pixels");
  }
  return output;
}

void append_to_string(void* context, void* data, int size) {
  static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
}

std::string encode_png(const Pixels& pixels, int size) {
  std::string png;
  stbi_write_png_compression_level = 9;
  if (!stbi_write_png_to_func(append_to_string, &png, size, size, 4, pixels.data(), size * 4)) {
    throw PackError("cannot encode the " + std::to_string(size) + "-pixel icon as PNG");
  }
  return png;
}

void put_u16(std::string& out, unsigned value) {
  out.push_back(static_cast<char>(value & 0xff));
  out.push_back(static_cast<char>((value >> 8) & 0xff));
}

void put_u32(std::string& out, uint32_t value) {
  put_u16(out, value & 0xffff);
  put_u16(out, value >> 16);
}

}  // namespace

std::string default_icon_png() {
#ifdef ZOVARI_DEFAULT_ICON_PNG
  return std::string(zovari_default_icon_start, zovari_default_icon_end);
#else
  // Not built in: this build runs from its source tree, so read it there.
  std::filesystem::path source = std::filesystem::path(__FILE__).parent_path().parent_path();
  return read_icon_file(source / "image" / "icon.png");
#endif
}

namespace {

uint32_t get_le(std::string_view data, size_t at, size_t bytes) {
  return (uint32_t)read_little_endian(reinterpret_cast<const unsigned char*>(data.data()) + at, bytes);
}

// One colour channel of a bitfield pixel, scaled to 8 bits.
unsigned char channel(uint32_t pixel, uint32_t mask) {
  if (mask == 0) return 0;
  int shift = __builtin_ctz(mask);
  uint32_t top = mask >> shift;
  return (unsigned char)(((pixel & mask) >> shift) * 255 / top);
}

// An icon image stored as a bitmap (a BITMAPINFOHEADER or a later one, then
// the colour table or bitfield masks, bottom-up rows of pixels of 1, 4, 8,
// 16, 24 or 32 bits, then the 1-bit transparency mask) as PNG bytes.
std::string png_from_icon_bitmap(std::string_view image, const std::string& name) {
  const std::string bad = "the icon " + in_quotes(name) + " holds an image that ";
  if (image.size() < 40 || get_le(image, 0, 4) < 40 || get_le(image, 0, 4) > image.size()) {
    throw PackError(bad + "is cut short");
  }
  const uint32_t header = get_le(image, 0, 4);
  const int32_t width = (int32_t)get_le(image, 4, 4), height = (int32_t)get_le(image, 8, 4) / 2;
  const unsigned bits = get_le(image, 14, 2);
  const uint32_t compression = get_le(image, 16, 4);
  const bool fields = compression == 3 && (bits == 16 || bits == 32);
  const bool known = bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
  if (!known || (compression != 0 && !fields)) {
    throw PackError(bad + "is neither PNG nor an uncompressed bitmap of 1, 4, 8, 16, 24 or 32 bits "
                    "(bits " + std::to_string(bits) + ", compression " + std::to_string(compression) + ")");
  }
  if (width <= 0 || height <= 0 || width > MAX_SOURCE_SIDE || height > MAX_SOURCE_SIDE) {
    throw PackError(bad + "has a size of " + std::to_string(width) + "x" + std::to_string(height));
  }
  // Masks: in a header of 52 bytes or more, or right after a 40-byte one.
  uint32_t masks[3] = {0x00FF0000, 0x0000FF00, 0x000000FF};
  if (bits == 16) masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
  size_t at = header;
  if (fields) {
    size_t masks_at = header >= 52 ? 40 : header;
    if (image.size() < masks_at + 12) throw PackError(bad + "is cut short");
    for (int i = 0; i < 3; ++i) masks[i] = get_le(image, masks_at + 4 * i, 4);
    if (header < 52) at += 12;
  }
  // A colour table: the palette of 1 to 8 bits, and for deeper pixels an
  // optional one that only stands in front of them.
  size_t palette_at = at, palette_count = 0;
  const uint32_t used = get_le(image, 32, 4);
  if (bits <= 8) {
    palette_count = used != 0 && used < (1u << bits) ? used : (1u << bits);
    at += 4 * palette_count;
  } else if (used != 0) {
    if (used > image.size() / 4) throw PackError(bad + "is cut short");
    at += 4 * (size_t)used;
  }
  const size_t row = (((size_t)width * bits + 31) / 32) * 4;
  const size_t mask_row = (((size_t)width + 31) / 32) * 4;
  const size_t mask_at = at + row * height;
  const bool has_mask = image.size() >= mask_at + mask_row * height;
  if (image.size() < mask_at || (bits != 32 && !has_mask)) throw PackError(bad + "is cut short");
  const auto* data = (const unsigned char*)image.data();
  Pixels rgba((size_t)width * height * 4);
  bool any_alpha = false;
  for (int32_t y = 0; y < height; ++y) {
    const unsigned char* line = data + at + row * (size_t)(height - 1 - y);
    for (int32_t x = 0; x < width; ++x) {
      unsigned char* out = &rgba[((size_t)y * width + x) * 4];
      out[3] = 255;
      if (bits <= 8) {
        size_t bit = (size_t)x * bits;
        unsigned index = (line[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
        // An index past the table is shown black, as Windows draws it.
        const unsigned char* colour = index < palette_count ? data + palette_at + 4 * index : nullptr;
        out[0] = colour ? colour[2] : 0;
        out[1] = colour ? colour[1] : 0;
        out[2] = colour ? colour[0] : 0;
      } else if (bits == 24 || (bits == 32 && !fields)) {
        const unsigned char* pixel = line + (size_t)x * bits / 8;
        out[0] = pixel[2], out[1] = pixel[1], out[2] = pixel[0];
        if (bits == 32) out[3] = pixel[3], any_alpha |= pixel[3] != 0;
      } else {
        uint32_t pixel = (uint32_t)get_le(image, (size_t)(line - data) + (size_t)x * bits / 8, bits / 8);
        for (int i = 0; i < 3; ++i) out[i] = channel(pixel, masks[i]);
      }
    }
  }
  // Transparency from the mask: for every image without an alpha channel,
  // and for a 32-bit one whose alpha is all 0, as older icons have.
  if (has_mask && !any_alpha) {
    for (int32_t y = 0; y < height; ++y) {
      const unsigned char* line = data + mask_at + mask_row * (size_t)(height - 1 - y);
      for (int32_t x = 0; x < width; ++x) {
        rgba[((size_t)y * width + x) * 4 + 3] = (line[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
      }
    }
  }
  std::string png;
  stbi_write_png_compression_level = 9;
  if (!stbi_write_png_to_func(append_to_string, &png, width, height, 4, rgba.data(), width * 4)) {
    throw PackError("cannot convert the icon " + in_quotes(name) + " to PNG");
  }
  return png;
}

// An image's size and colour depth, from its own header (an .ico directory
// entry may say 0 for both); area 0 when it has no header to read.
uint64_t image_rank(std::string_view image) {
  if (image.size() >= 24 && std::memcmp(image.data(), PNG_SIGNATURE, sizeof PNG_SIGNATURE) == 0) {
    uint64_t width = big_endian32(image, 16), height = big_endian32(image, 20);
    return (std::min<uint64_t>(width * height, 1u << 30) << 8) | 32;
  }
  if (image.size() < 40) return 0;
  uint64_t width = get_le(image, 4, 4), height = get_le(image, 8, 4) / 2;
  if (width > MAX_SOURCE_SIDE || height > MAX_SOURCE_SIDE) return 0;
  return (width * height << 8) | (get_le(image, 14, 2) & 0xFF);
}

// The best of the images offered, read in place: the largest, and of those
// the one of the most colours.  Ranking reads only an image's header, so
// many entries cost no more than their directory.
class BestImage {
 public:
  void offer(std::string_view image) {
    uint64_t rank = image_rank(image);
    if (best_.empty() || rank > rank_) best_ = image, rank_ = rank;
  }
  // As PNG bytes: a PNG as it is, a bitmap converted.
  std::string png(const std::string& name) const {
    if (best_.size() >= sizeof PNG_SIGNATURE && std::memcmp(best_.data(), PNG_SIGNATURE, sizeof PNG_SIGNATURE) == 0) {
      return std::string(best_);
    }
    return png_from_icon_bitmap(best_, name);
  }

 private:
  std::string_view best_;
  uint64_t rank_ = 0;
};

// The best image of an .ico file, as PNG bytes.
std::string png_from_ico(const std::string& ico, const std::string& name) {
  size_t count = ico.size() >= 6 ? get_le(ico, 4, 2) : 0;
  if (count == 0 || ico.size() < 6 + 16 * count) {
    throw PackError("the icon " + in_quotes(name) + " is not a readable .ico file");
  }
  BestImage best;
  for (size_t i = 0; i < count; ++i) {
    size_t entry = 6 + 16 * i;
    uint64_t size = get_le(ico, entry + 8, 4), offset = get_le(ico, entry + 12, 4);
    if (offset > ico.size() || size > ico.size() - offset) {
      throw PackError("the icon " + in_quotes(name) + " is not a readable .ico file (an image lies past its end)");
    }
    best.offer(std::string_view(ico).substr(offset, size));
  }
  return best.png(name);
}

// Reads a Windows program's resources where its sections map them; every
// read is checked against the file, and a malformed program has no icon.
class PeResources {
 public:
  explicit PeResources(std::string_view pe) : pe_(pe) {
    if (!fits(0x40, 0) || pe.substr(0, 2) != "MZ") return;
    size_t header = get_le(pe, 0x3C, 4);
    if (!fits(header, 24) || pe.substr(header, 4) != std::string_view("PE\0\0", 4)) return;
    sections_ = get_le(pe, header + 6, 2);
    size_t optional = header + 24, optional_size = get_le(pe, header + 20, 2);
    section_table_ = optional + optional_size;
    if (!fits(optional, 2)) return;
    unsigned magic = get_le(pe, optional, 2);
    size_t directories = optional + (magic == 0x20b ? 112 : 96);
    size_t count_at = optional + (magic == 0x20b ? 108 : 92);
    if (!fits(count_at, 4) || get_le(pe, count_at, 4) < 3 || !fits(directories + 16, 8)) return;
    if (directories + 24 > optional + optional_size) return;
    root_ = offset_of(get_le(pe, directories + 16, 4));
  }

  // The data of the first resource of a type (by its number), with the id
  // given or any id when id is 0, in its first language, as Windows takes
  // it when no language is asked for: windres and Microsoft's compiler mark
  // every resource with one (1033, US English), few leave it neutral.
  // Empty when there is none.
  std::string_view find(uint32_t type, uint32_t id) const {
    if (root_ == 0) return std::string_view();
    size_t names = entry_of(root_, type, false);
    return data_of(names ? entry_of(names, id, id == 0) : 0);
  }

  // The resources of a type by their ids, read in one pass over its
  // directory (the first of an id that comes twice); a malformed entry is
  // left out.
  std::map<uint32_t, std::string_view> all_of(uint32_t type) const {
    std::map<uint32_t, std::string_view> out;
    size_t names = root_ != 0 ? entry_of(root_, type, false) : 0;
    if (names == 0) return out;
    size_t count = get_le(pe_, names + 12, 2) + get_le(pe_, names + 14, 2);
    for (size_t i = 0; i < count; ++i) {
      size_t entry = names + 16 + 8 * i;
      if (!fits(entry, 8)) break;
      uint32_t id = get_le(pe_, entry, 4);
      if ((id & 0x80000000u) != 0 || out.count(id) != 0) continue;
      std::string_view data = data_of(target_of(entry));
      if (!data.empty()) out.emplace(id, data);
    }
    return out;
  }

 private:
  bool fits(size_t at, size_t size) const { return at <= pe_.size() && size <= pe_.size() - at; }

  // The file offset of a virtual address, 0 when no section holds it.
  size_t offset_of(uint32_t address) const {
    for (size_t i = 0; i < sections_ && i < 96; ++i) {
      size_t section = section_table_ + 40 * i;
      if (!fits(section, 40)) return 0;
      uint32_t start = get_le(pe_, section + 12, 4), raw_size = get_le(pe_, section + 16, 4);
      if (address >= start && address - start < raw_size) {
        return get_le(pe_, section + 20, 4) + (address - start);
      }
    }
    return 0;
  }

  // In the directory at the file offset directory: the entry whose id is
  // id (named entries come first and have none), or the first when first;
  // the file offset of what it points at, 0 when there is none.
  size_t entry_of(size_t directory, uint32_t id, bool first) const {
    if (!fits(directory, 16)) return 0;
    size_t count = get_le(pe_, directory + 12, 2) + get_le(pe_, directory + 14, 2);
    for (size_t i = 0; i < count; ++i) {
      size_t entry = directory + 16 + 8 * i;
      if (!fits(entry, 8)) return 0;
      uint32_t name = get_le(pe_, entry, 4);
      if (first || ((name & 0x80000000u) == 0 && name == id)) return target_of(entry);
    }
    return 0;
  }

  // The data of the first language in the directory at languages (a file
  // offset), empty when there is none.
  std::string_view data_of(size_t languages) const {
    size_t leaf = languages ? entry_of(languages, 0, true) : 0;
    if (leaf == 0 || !fits(leaf, 8)) return std::string_view();
    size_t at = offset_of(get_le(pe_, leaf, 4)), size = get_le(pe_, leaf + 4, 4);
    if (at == 0 || !fits(at, size)) return std::string_view();
    return pe_.substr(at, size);
  }

  // The file offset of what the directory entry at entry points at, 0 when
  // it lies outside the file.
  size_t target_of(size_t entry) const {
    size_t target = root_ + (get_le(pe_, entry + 4, 4) & 0x7FFFFFFFu);
    return target > root_ && fits(target, 8) ? target : 0;
  }

  std::string_view pe_;
  size_t sections_ = 0, section_table_ = 0, root_ = 0;
};

}  // namespace

std::string_view program_resource(std::string_view program, uint32_t type, uint32_t id) {
  return PeResources(program).find(type, id);
}

std::string program_icon_png(std::string_view program, const std::string& name) {
  const uint32_t kIcon = 3, kIconGroup = 14;
  PeResources resources(program);
  std::string_view group = resources.find(kIconGroup, 0);
  size_t count = group.size() >= 6 ? get_le(group, 4, 2) : 0;
  if (count == 0 || group.size() < 6 + 14 * count) return std::string();
  // Each entry names an icon by its id; many may name the same one.
  const std::map<uint32_t, std::string_view> icons = resources.all_of(kIcon);
  BestImage best;
  bool any = false;
  for (size_t i = 0; i < count; ++i) {
    auto icon = icons.find(get_le(group, 6 + 14 * i + 12, 2));
    if (icon == icons.end()) continue;
    best.offer(icon->second);
    any = true;
  }
  return any ? best.png(name) : std::string();
}


std::string read_icon_file(const std::filesystem::path& path) {
  SystemProblem problem;
  FileId file = open_for_reading(path, &problem);
  if (file == NO_FILE) throw PackError("cannot read the icon " + in_quotes(path.u8string()) + ": " + problem.text);
  std::string contents;
  char buffer[65536];
  long long count;
  while ((count = read_file(file, buffer, sizeof buffer, &problem)) > 0) {
    contents.append(buffer, (size_t)count);
    if ((long)contents.size() > MAX_ICON_FILE_BYTES) {
      close_file(file, &problem);
      throw PackError("the icon " + in_quotes(path.u8string()) + " is larger than " +
                      std::to_string(MAX_ICON_FILE_BYTES >> 20) + " MiB");
    }
  }
  SystemProblem ignored;
  close_file(file, &ignored);
  if (count < 0) throw PackError("cannot read the icon " + in_quotes(path.u8string()) + ": " + problem.text);
  if (contents.size() >= 4 && std::memcmp(contents.data(), "\0\0\1\0", 4) == 0) {
    return png_from_ico(contents, path.u8string());
  }
  if (contents.size() < sizeof PNG_SIGNATURE || std::memcmp(contents.data(), PNG_SIGNATURE, sizeof PNG_SIGNATURE) != 0) {
    throw PackError("the icon " + in_quotes(path.u8string()) +
                    " is neither a PNG image nor an .ico file, the two formats an icon is taken from");
  }
  return contents;
}

std::vector<IconImage> make_icon_images(const std::string& png, const std::string& name) {
  if (png.size() < sizeof PNG_SIGNATURE ||
      std::memcmp(png.data(), PNG_SIGNATURE, sizeof PNG_SIGNATURE) != 0) {
    throw PackError("the icon " + in_quotes(name) + " is not a PNG image");
  }
  if (!chunks_reach_end(png)) {
    throw PackError("the icon " + in_quotes(name) +
                    " is not a readable PNG image (it is cut short before its IEND chunk)");
  }
  if (png.size() > (size_t)MAX_ICON_FILE_BYTES) {
    throw PackError("the icon " + in_quotes(name) + " is larger than " +
                    std::to_string(MAX_ICON_FILE_BYTES >> 20) + " MiB");
  }
  std::string header = header_problem(png);
  if (!header.empty()) {
    throw PackError("the icon " + in_quotes(name) + " is not a readable PNG image (" + header + ")");
  }
  const auto* bytes = reinterpret_cast<const stbi_uc*>(png.data());
  int length = static_cast<int>(std::min<size_t>(png.size(), 0x7fffffff));
  int width = 0, height = 0, channels = 0;
  if (!stbi_info_from_memory(bytes, length, &width, &height, &channels)) {
    throw PackError("the icon " + in_quotes(name) + " is not a readable PNG image (" +
                    decoder_reason() + ")");
  }
  if (width > MAX_SOURCE_SIDE || height > MAX_SOURCE_SIDE) {
    throw PackError("the icon " + in_quotes(name) + " is " + std::to_string(width) + "x" +
                    std::to_string(height) + " pixels; at most " +
                    std::to_string(MAX_SOURCE_SIDE) + " on a side are accepted");
  }
  stbi_uc* rgba = stbi_load_from_memory(bytes, length, &width, &height, &channels, 4);
  if (rgba == nullptr) {
    throw PackError("the icon " + in_quotes(name) + " is not a readable PNG image (" +
                    decoder_reason() + ")");
  }
  int side = 0;
  Pixels canvas = square_canvas(rgba, width, height, &side);
  stbi_image_free(rgba);

  std::vector<IconImage> images;
  for (int size : ICON_SIZES) {
    images.push_back(IconImage{size, encode_png(resample(canvas, side, size), size)});
  }
  return images;
}

std::string icon_group_directory(const std::vector<IconImage>& images, uint16_t first_id) {
  std::string out;
  put_u16(out, 0);  // reserved
  put_u16(out, 1);  // resource type: icon
  put_u16(out, static_cast<unsigned>(images.size()));
  uint16_t id = first_id;
  for (const IconImage& image : images) {
    out.push_back(static_cast<char>(image.size >= 256 ? 0 : image.size));  // width
    out.push_back(static_cast<char>(image.size >= 256 ? 0 : image.size));  // height
    out.push_back(0);  // colour count
    out.push_back(0);  // reserved
    put_u16(out, 0);   // planes
    put_u16(out, 32);  // bits per pixel
    put_u32(out, static_cast<uint32_t>(image.png.size()));
    put_u16(out, id++);
  }
  return out;
}

}  // namespace zovari
