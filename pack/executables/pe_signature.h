// The code signature of a Windows launcher: the PE image's certificate
// table (data directory 4), which a signing tool such as osslsigncode
// appends after the sections.  The payload lives in the image's read-only
// data, so the signature's hash covers it.
#ifndef ZOVARI_PACK_PE_SIGNATURE_H
#define ZOVARI_PACK_PE_SIGNATURE_H

#include <cstdint>
#include <string>

namespace zovari {

struct CertificateTable {
  bool pe = false;       // the file is a PE image
  uint64_t offset = 0;   // file offset of the table; 0 with size 0: unsigned
  uint64_t size = 0;
};

// Reads the certificate table's entry of the PE image in data.  Throws
// PackError when the entry points outside the file or overlaps the payload
// (payload_offset .. payload_end).
CertificateTable read_certificate_table(const unsigned char* data, uint64_t size, uint64_t payload_offset,
                                        uint64_t payload_end);

}  // namespace zovari

#endif
