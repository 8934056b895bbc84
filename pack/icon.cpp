#include "pack/icon.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pack/error.h"
#include "pack/system.h"
#include "pack/text.h"
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

// True when the chunks after the signature follow each other whole up to the
// IEND chunk: a cut-short file gets its own message instead of the decoder's.
bool chunks_reach_end(const std::string& png) {
  size_t pos = sizeof PNG_SIGNATURE;
  while (png.size() - pos >= 12) {
    const auto* at = reinterpret_cast<const unsigned char*>(png.data() + pos);
    uint32_t length = uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
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

uint32_t get_le(const std::string& data, size_t at, size_t bytes) {
  return (uint32_t)read_little_endian(reinterpret_cast<const unsigned char*>(data.data()) + at, bytes);
}

// An icon image stored as a bitmap (a BITMAPINFOHEADER, bottom-up rows of
// 32-bit BGRA or 24-bit BGR, then for 24 bits the 1-bit transparency mask)
// as PNG bytes.
std::string png_from_icon_bitmap(const std::string& image, const std::string& name) {
  const std::string bad = "the icon " + in_quotes(name) + " holds an image that ";
  if (image.size() < 40 || get_le(image, 0, 4) < 40) throw PackError(bad + "is cut short");
  uint32_t header = get_le(image, 0, 4);
  int32_t width = (int32_t)get_le(image, 4, 4), height = (int32_t)get_le(image, 8, 4) / 2;
  unsigned bits = get_le(image, 14, 2);
  if (get_le(image, 16, 4) != 0 || (bits != 32 && bits != 24)) {
    throw PackError(bad + "is neither PNG nor a 24- or 32-bit bitmap; save it with those");
  }
  if (width <= 0 || height <= 0 || width > MAX_SOURCE_SIDE || height > MAX_SOURCE_SIDE) {
    throw PackError(bad + "has a size of " + std::to_string(width) + "x" + std::to_string(height));
  }
  size_t row = ((size_t)width * bits / 8 + 3) & ~(size_t)3;
  size_t mask_row = (((size_t)width + 31) / 32) * 4;
  size_t pixels_at = header;
  size_t mask_at = pixels_at + row * height;
  if (image.size() < mask_at + (bits == 24 ? mask_row * height : 0)) throw PackError(bad + "is cut short");
  Pixels rgba((size_t)width * height * 4);
  for (int32_t y = 0; y < height; ++y) {
    size_t source = pixels_at + row * (size_t)(height - 1 - y);
    for (int32_t x = 0; x < width; ++x) {
      const unsigned char* pixel = (const unsigned char*)image.data() + source + (size_t)x * bits / 8;
      unsigned char* out = &rgba[((size_t)y * width + x) * 4];
      out[0] = pixel[2];
      out[1] = pixel[1];
      out[2] = pixel[0];
      if (bits == 32) {
        out[3] = pixel[3];
      } else {
        size_t at = mask_at + mask_row * (size_t)(height - 1 - y) + (size_t)x / 8;
        out[3] = ((unsigned char)image[at] >> (7 - x % 8)) & 1 ? 0 : 255;
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

// The largest image of an .ico file, as PNG bytes.
std::string png_from_ico(const std::string& ico, const std::string& name) {
  size_t count = ico.size() >= 6 ? get_le(ico, 4, 2) : 0;
  if (count == 0 || ico.size() < 6 + 16 * count) {
    throw PackError("the icon " + in_quotes(name) + " is not a readable .ico file");
  }
  size_t best = count;
  uint64_t best_area = 0;
  for (size_t i = 0; i < count; ++i) {
    size_t entry = 6 + 16 * i;
    uint64_t width = (unsigned char)ico[entry] ? (unsigned char)ico[entry] : 256;
    uint64_t height = (unsigned char)ico[entry + 1] ? (unsigned char)ico[entry + 1] : 256;
    uint64_t size = get_le(ico, entry + 8, 4), offset = get_le(ico, entry + 12, 4);
    if (offset > ico.size() || size > ico.size() - offset) {
      throw PackError("the icon " + in_quotes(name) + " is not a readable .ico file (an image lies past its end)");
    }
    // Ties go to the deeper colour.
    uint64_t area = (width * height << 8) | (get_le(ico, entry + 6, 2) & 0xFF);
    if (area > best_area) best = i, best_area = area;
  }
  size_t entry = 6 + 16 * best;
  std::string image = ico.substr(get_le(ico, entry + 12, 4), get_le(ico, entry + 8, 4));
  if (image.size() >= sizeof PNG_SIGNATURE && std::memcmp(image.data(), PNG_SIGNATURE, sizeof PNG_SIGNATURE) == 0) {
    return image;
  }
  return png_from_icon_bitmap(image, name);
}

}  // namespace

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
                    stbi_failure_reason() + ")");
  }
  if (width > MAX_SOURCE_SIDE || height > MAX_SOURCE_SIDE) {
    throw PackError("the icon " + in_quotes(name) + " is " + std::to_string(width) + "x" +
                    std::to_string(height) + " pixels; at most " +
                    std::to_string(MAX_SOURCE_SIDE) + " on a side are accepted");
  }
  stbi_uc* rgba = stbi_load_from_memory(bytes, length, &width, &height, &channels, 4);
  if (rgba == nullptr) {
    throw PackError("the icon " + in_quotes(name) + " is not a readable PNG image (" +
                    stbi_failure_reason() + ")");
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
