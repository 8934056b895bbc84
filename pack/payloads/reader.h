// Reading payloads back: finding one in a payload file or a launcher of
// either target, checking its container, decoding its records.  Used by
// `zovari-pack list`, `extract`, `verify` and `launcher`.
#ifndef ZOVARI_PACK_PAYLOAD_READER_H
#define ZOVARI_PACK_PAYLOAD_READER_H

#include <cstdint>
#include <filesystem>
#include <string>

#include "pack/payloads/names.h"

namespace zovari {

// A whole file mapped read-only.  Throws PackError when it cannot be read.
class MappedFile {
 public:
  explicit MappedFile(const std::filesystem::path& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  const unsigned char* data() const { return data_; }
  uint64_t size() const { return size_; }

 private:
  const unsigned char* data_ = nullptr;
  uint64_t size_ = 0;
};

// Where a payload lies in a file: its first byte ("QDY"), its length L
// (trailer included) and the length n of its zstd frame.
struct PayloadLocation {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t frame_size = 0;
};

// Checks the container that starts at data[offset], with size bytes in the
// file.  Fills *location, or returns false with *problem.
bool check_container(const unsigned char* data, uint64_t size, uint64_t offset,
                     PayloadLocation* location, std::string* problem);

struct RecordInfo {
  std::u16string name;
  uint64_t size = 0;
  uint32_t checksum = 0;  // as stored
};

// Receives the records as they are decoded.
class RecordVisitor {
 public:
  virtual ~RecordVisitor() = default;
  virtual void begin_record(const RecordInfo&) {}
  virtual void record_data(const char*, size_t) {}
  // computed: the file checksum of the data (CRC-32, 0 written as 1).
  virtual void end_record(const RecordInfo&, uint32_t /*computed*/) {}
};

struct ReadSummary {
  uint64_t records = 0;
  uint64_t bytes = 0;
  bool sealed = false;  // the frame carried a seal and it matched
};

// Decodes the payload stream, hands every record to the visitor and checks
// the end record and that nothing but the end of the frame follows it.  With
// strict, it also compares every checksum, checks names and the frame's seal
// (frame_seal.h).  Throws PackError with the first problem found.
ReadSummary read_payload(const unsigned char* file_data, const PayloadLocation& location,
                         RecordVisitor& visitor, bool strict);

}  // namespace zovari

#endif
