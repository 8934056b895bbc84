#include "pack/executables/pe_signature.h"

#include "pack/system/error.h"
#include "payload/format.h"

namespace zovari {

namespace {

uint64_t field(const unsigned char* data, uint64_t at, unsigned bytes) {
  return read_little_endian(data + at, bytes);
}

}  // namespace

CertificateTable read_certificate_table(const unsigned char* data, uint64_t size, uint64_t payload_offset,
                                        uint64_t payload_end) {
  CertificateTable table;
  if (size < 0x40 || data[0] != 'M' || data[1] != 'Z') return table;
  uint64_t header = field(data, 0x3c, 4);
  // Signature, COFF header (20 bytes), then the optional header's magic.
  if (header + 24 + 2 > size || field(data, header, 4) != 0x00004550) return table;
  uint64_t optional = header + 24;
  uint64_t optional_size = field(data, header + 20, 2);
  uint64_t magic = field(data, optional, 2);
  // The data directories start after the standard and Windows fields:
  // 96 bytes in PE32, 112 in PE32+; each entry is 8 bytes, the count before.
  uint64_t directories = magic == 0x20b ? 112 : magic == 0x10b ? 96 : 0;
  if (directories == 0) return table;
  table.pe = true;
  // The entry lies behind the directory count: a file that ends before the
  // entry's end holds neither to read.
  uint64_t entry = optional + directories + 4 * 8;
  if (entry + 8 > size) return table;
  uint64_t count = field(data, optional + directories - 4, 4);
  if (count <= 4 || directories + 5 * 8 > optional_size) return table;
  table.offset = field(data, entry, 4);
  table.size = field(data, entry + 4, 4);
  if (table.size == 0) return table;
  if (table.offset > size || table.size > size - table.offset) {
    throw PackError("the certificate table (" + std::to_string(table.size) + " bytes at offset " +
                    std::to_string(table.offset) + ") runs past the end of the file");
  }
  if (table.offset < payload_end && payload_offset < table.offset + table.size) {
    throw PackError("the certificate table overlaps the payload");
  }
  return table;
}

}  // namespace zovari
