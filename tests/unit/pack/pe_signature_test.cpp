// The certificate table of a PE image (pack/executables/pe_signature.h): where a code
// signature lies, and that it never overlaps the payload.  Every image ends
// at an unreadable page: a read past its end crashes the test.
#include <gtest/gtest.h>

#include <string>

#include "pack/system/error.h"
#include "pack/executables/pe_signature.h"
#include "tests/unit/pack/table.h"

using namespace zovari;
using pack_test::put;

namespace {

struct Image {
  uint32_t header = 0x80;        // the PE signature's offset
  unsigned magic = 0x20b;        // PE32+; 0x10b PE32
  unsigned optional_size = 240;  // the optional header's size
  unsigned directories = 16;     // how many data directories
  uint64_t table_offset = 0, table_size = 0;
  size_t size = 0x1000;          // the file's size
};

std::string image_bytes(const Image& image) {
  std::string bytes(0x1000, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  put(bytes, 0x3C, image.header, 4);
  if (uint64_t(image.header) + 0x200 <= bytes.size()) {
    const size_t optional = image.header + 24;
    const size_t standard = image.magic == 0x10b ? 96 : 112;
    bytes.replace(image.header, 4, std::string("PE\0\0", 4));
    put(bytes, image.header + 20, image.optional_size, 2);
    put(bytes, optional, image.magic, 2);
    put(bytes, optional + standard - 4, image.directories, 4);
    put(bytes, optional + standard + 4 * 8, image.table_offset, 4);
    put(bytes, optional + standard + 4 * 8 + 4, image.table_size, 4);
  }
  bytes.resize(image.size);
  return bytes;
}

Image signed_at(uint64_t offset, uint64_t size) {
  Image image;
  image.table_offset = offset;
  image.table_size = size;
  return image;
}

Image with(Image image, void (*change)(Image&)) {
  change(image);
  return image;
}

}  // namespace

TEST(PackCertificateTable, WhereTheSignatureLies) {
  enum Outcome { NOT_PE, UNSIGNED, SIGNED, REFUSED };
  struct Row {
    const char* what;
    Image image;
    Outcome outcome;
    const char* refusal;
  };
  // The payload lies at 0x400 to 0x800 of a file of 0x1000 bytes.
  const Row rows[] = {
      {"cut right after the optional header's magic", with(signed_at(0xC00, 0x100), [](Image& i) { i.size = 0x80 + 26; }),
       UNSIGNED, ""},
      {"cut inside the directory count", with(signed_at(0xC00, 0x100), [](Image& i) { i.size = 0x80 + 24 + 110; }),
       UNSIGNED, ""},
      {"cut inside the certificate entry", with(signed_at(0xC00, 0x100), [](Image& i) { i.size = 0x80 + 24 + 112 + 39; }),
       UNSIGNED, ""},
      {"signature header at the very end", with(Image(), [](Image& i) { i.header = 0x1000 - 25; }), NOT_PE, ""},
      {"signature header far beyond the end", with(Image(), [](Image& i) { i.header = 0xFFFFFFFF; }), NOT_PE, ""},
      {"table past the end of the file", signed_at(0xF00, 0x101), REFUSED, "runs past the end"},
      {"table beyond the end of the file", signed_at(0x1001, 1), REFUSED, "runs past the end"},
      {"table of 4 GiB", signed_at(0xFFFFFFFF, 0xFFFFFFFF), REFUSED, "runs past the end"},
      {"table that ends in the payload", signed_at(0x300, 0x101), REFUSED, "overlaps the payload"},
      {"table that starts in the payload", signed_at(0x7FF, 0x100), REFUSED, "overlaps the payload"},
      {"table around the payload", signed_at(0x300, 0x600), REFUSED, "overlaps the payload"},
      {"table inside the payload", signed_at(0x500, 1), REFUSED, "overlaps the payload"},
      {"table right before the payload", signed_at(0x300, 0x100), SIGNED, ""},
      {"table right behind the payload", signed_at(0x800, 0x800), SIGNED, ""},
      {"four data directories", with(signed_at(0xC00, 0x100), [](Image& i) { i.directories = 4; }), UNSIGNED, ""},
      {"five data directories", with(signed_at(0xC00, 0x100), [](Image& i) { i.directories = 5; }), SIGNED, ""},
      {"optional header one byte short of the entry",
       with(signed_at(0xC00, 0x100), [](Image& i) { i.optional_size = 112 + 39; }), UNSIGNED, ""},
      {"optional header just holding the entry",
       with(signed_at(0xC00, 0x100), [](Image& i) { i.optional_size = 112 + 40; }), SIGNED, ""},
      {"PE32", with(signed_at(0xC00, 0x100), [](Image& i) { i.magic = 0x10b; }), SIGNED, ""},
      {"PE32 header too small", with(signed_at(0xC00, 0x100), [](Image& i) { i.magic = 0x10b; i.optional_size = 96 + 39; }),
       UNSIGNED, ""},
      {"ROM image", with(signed_at(0xC00, 0x100), [](Image& i) { i.magic = 0x107; }), NOT_PE, ""},
      {"no table", Image(), UNSIGNED, ""},
      {"an offset without size", signed_at(0x500, 0), UNSIGNED, ""},
      {"shorter than a DOS header", with(Image(), [](Image& i) { i.size = 0x3F; }), NOT_PE, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string bytes = image_bytes(row.image);
    pack_test::Guarded data(bytes);
    try {
      CertificateTable table = read_certificate_table(data.data(), bytes.size(), 0x400, 0x800);
      EXPECT_NE(row.outcome, REFUSED);
      EXPECT_EQ(table.pe, row.outcome != NOT_PE);
      EXPECT_EQ(table.size != 0, row.outcome == SIGNED);
      if (row.outcome == SIGNED) {
        EXPECT_EQ(table.offset, row.image.table_offset);
        EXPECT_EQ(table.size, row.image.table_size);
      }
    } catch (const PackError& error) {
      EXPECT_EQ(row.outcome, REFUSED) << error.what();
      EXPECT_NE(std::string(error.what()).find(row.refusal), std::string::npos) << error.what();
    }
  }
  // Not a PE image at all.
  for (std::string bytes : {std::string(0x100, 'M'), std::string("ZM") + std::string(0x100, '\0')}) {
    pack_test::Guarded data(bytes);
    EXPECT_FALSE(read_certificate_table(data.data(), bytes.size(), 0, 8).pe);
  }
}
