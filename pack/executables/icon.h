// The launcher's icon images: one source PNG resampled to the seven sizes a
// launcher carries (16 to 256 pixels), each stored as an 8-bit RGBA PNG, and the icon group directory
// that lists them.  Used by resources.cpp.
#ifndef ZOVARI_PACK_ICON_H
#define ZOVARI_PACK_ICON_H

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zovari {

// The icon sizes in pixels, in the order of the resource identifiers 1..7.
inline constexpr std::array<int, 7> ICON_SIZES = {16, 24, 32, 48, 64, 128, 256};

struct IconImage {
  int size;         // width and height in pixels
  std::string png;  // the PNG file's bytes
};

// The project's own icon (image/icon.png) as PNG bytes.  Throws PackError when
// this build of zovari-pack has it neither built in nor beside its sources.
std::string default_icon_png();

// The icon file's image as PNG bytes: a PNG as it is; for an .ico, its
// best image (the largest, then the deepest colour: a PNG inside it, or a
// bitmap of 1 to 32 bits converted).
// PackError naming the file when it cannot be read, is over 16 MiB, or is an
// .ico without such an image, or is neither a PNG nor an .ico.
std::string read_icon_file(const std::filesystem::path& path);

// The icon a Windows program shows (the first icon group of its
// resources), as PNG bytes of its best image; empty when it has none or its
// resources cannot be read.  PackError, with name, when its image cannot be
// converted.
std::string program_icon_png(std::string_view program, const std::string& name);

// The data of a Windows program's resource of that type and identifier,
// in its first language; empty when it has none or its resources cannot be
// read.
std::string_view program_resource(std::string_view program, uint32_t type, uint32_t id);

// Decodes png (called `name` in messages) and resamples it to each of
// ICON_SIZES, a non-square image centred on a transparent square first.  The
// same input gives the same bytes.  PackError, before anything is decoded,
// when png is not a PNG image, is over 16 MiB, has a bit depth PNG does not
// allow or is larger than 4096 pixels on a side; PackError when it cannot be
// decoded.
std::vector<IconImage> make_icon_images(const std::string& png, const std::string& name);

// The icon group directory (RT_GROUP_ICON data) for images, whose icon
// resources have the identifiers first_id, first_id + 1, ...: each entry gives
// width and height (0 for 256), colour count 0, planes 0, 32 bits per pixel,
// the image's byte size and its identifier.
std::string icon_group_directory(const std::vector<IconImage>& images, uint16_t first_id);

}  // namespace zovari

#endif
