#include "pack/payloads/reader.h"

#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "pack/system/error.h"
#include "pack/payloads/frame_seal.h"
#include "pack/system/system.h"
#include "pack/system/text.h"
#include "payload/checksum.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

}  // namespace

bool check_container(const unsigned char* data, uint64_t size, uint64_t offset,
                     PayloadLocation* location, std::string* problem) {
  const unsigned char* payload = data + offset;
  uint64_t available = size - offset;
  if (available < PAYLOAD_MAGIC_SIZE || std::memcmp(payload, PAYLOAD_MAGIC, PAYLOAD_MAGIC_SIZE) != 0) {
    *problem = "the payload does not start with \"QDY\"";
    return false;
  }
  std::vector<FrameBlock> blocks;
  uint64_t frame_size = 0;
  const unsigned char* frame = payload + PAYLOAD_MAGIC_SIZE;
  if (!walk_frame_blocks(frame, available - PAYLOAD_MAGIC_SIZE, &blocks, &frame_size, problem)) {
    return false;
  }
  const uint64_t frame_end = PAYLOAD_MAGIC_SIZE + frame_size;
  uint64_t trailer_at = frame_end;
  while (trailer_at % PAYLOAD_ALIGNMENT != 0) {
    if (trailer_at >= available) {
      *problem = "the payload ends inside its padding";
      return false;
    }
    if (payload[trailer_at] != 0) {
      *problem = "the padding behind the frame holds a non-zero byte at payload offset " +
                 std::to_string(trailer_at);
      return false;
    }
    ++trailer_at;
  }
  if (trailer_at + PAYLOAD_TRAILER_SIZE > available) {
    *problem = "the payload ends before its trailer";
    return false;
  }
  uint64_t trailer = read_little_endian(payload + trailer_at, PAYLOAD_TRAILER_SIZE);
  if (trailer != trailer_at) {
    *problem = "the payload trailer holds " + std::to_string(trailer) + ", expected " +
               std::to_string(trailer_at) + " (the frame ends at " + std::to_string(frame_end) + ")";
    return false;
  }
  location->offset = offset;
  location->length = trailer_at + PAYLOAD_TRAILER_SIZE;
  location->frame_size = frame_size;
  return true;
}

namespace {

// Pulls the decompressed payload stream in exact amounts.
class StreamDecoder {
 public:
  StreamDecoder(const unsigned char* frame, uint64_t frame_size)
      : input_{frame, (size_t)frame_size, 0}, buffer_(ZSTD_DStreamOutSize()) {
    dctx_ = ZSTD_createDCtx();
    if (dctx_ == nullptr) throw PackError("out of memory for the zstd decompressor");
    ZSTD_DCtx_setParameter(dctx_, ZSTD_d_windowLogMax, (int)PAYLOAD_WINDOW_LOG);
  }
  ~StreamDecoder() { ZSTD_freeDCtx(dctx_); }

  // Up to want bytes, at least one; throws when the stream has no more.
  size_t pull(char* out, size_t want, const char* what) {
    if (start_ == end_) refill(what);
    size_t take = std::min(want, end_ - start_);
    std::memcpy(out, buffer_.data() + start_, take);
    start_ += take;
    return take;
  }
  void read_exact(char* out, size_t size, const char* what) {
    while (size > 0) {
      size_t got = pull(out, size, what);
      out += got;
      size -= got;
    }
  }
  // After the end record: the frame must end with no further output and
  // exactly at the end of its input.
  void expect_frame_end() {
    if (start_ != end_) throw PackError("the payload stream holds bytes behind the end record");
    while (!frame_done_) {
      ZSTD_outBuffer out = {buffer_.data(), buffer_.size(), 0};
      size_t result = ZSTD_decompressStream(dctx_, &out, &input_);
      check(result);
      if (out.pos > 0) throw PackError("the payload stream holds bytes behind the end record");
      if (result == 0) {
        frame_done_ = true;
      } else if (input_.pos == input_.size) {
        throw PackError("the zstd frame is cut short");
      }
    }
    if (input_.pos != input_.size) throw PackError("bytes follow the zstd frame inside the payload");
  }

 private:
  void refill(const char* what) {
    start_ = end_ = 0;
    while (end_ == 0) {
      if (frame_done_) throw PackError(std::string("the payload stream ends inside ") + what);
      ZSTD_outBuffer out = {buffer_.data(), buffer_.size(), 0};
      size_t before = input_.pos;
      size_t result = ZSTD_decompressStream(dctx_, &out, &input_);
      check(result);
      end_ = out.pos;
      if (result == 0) frame_done_ = true;
      if (end_ == 0 && !frame_done_ && input_.pos == input_.size && before == input_.pos) {
        throw PackError(std::string("the zstd frame is cut short inside ") + what);
      }
    }
  }
  void check(size_t result) {
    if (ZSTD_isError(result)) {
      throw PackError(std::string("the zstd frame does not decode: ") + ZSTD_getErrorName(result));
    }
  }

  ZSTD_DCtx* dctx_ = nullptr;
  ZSTD_inBuffer input_;
  std::vector<char> buffer_;
  size_t start_ = 0, end_ = 0;
  bool frame_done_ = false;
};

bool read_name(StreamDecoder& decoder, std::u16string* name) {
  name->clear();
  for (;;) {
    unsigned char unit[2];
    decoder.read_exact(reinterpret_cast<char*>(unit), 2, "a record name");
    char16_t value = (char16_t)(unit[0] | (unit[1] << 8));
    if (value == 0) return !name->empty();
    if (name->size() == PAYLOAD_NAME_UNITS) {
      throw PackError("a record name is longer than " + std::to_string(PAYLOAD_NAME_UNITS) +
                      " UTF-16 units: " + display_name(*name));
    }
    name->push_back(value);
  }
}

void check_name_text(const std::u16string& name) {
  try {
    utf8_from_utf16(name);
  } catch (const PackError&) {
    throw PackError("a record name is not valid UTF-16: " + display_name(name));
  }
}

}  // namespace

MappedFile::MappedFile(const fs::path& path) {
  SystemProblem problem;
  FileId file = open_for_reading(path, &problem);
  if (file == NO_FILE) throw PackError("cannot open " + quoted_path(path) + ": " + problem.text);
  long long size = regular_file_size(file, &problem);
  if (size < 0) {
    close_file(file, &problem);
    throw PackError("not a regular file: " + quoted_path(path));
  }
  size_ = (uint64_t)size;
  if (size_ > 0) data_ = map_file(file, size_, &problem);
  SystemProblem ignored;
  close_file(file, &ignored);
  if (size_ > 0 && data_ == nullptr) throw PackError("cannot read " + quoted_path(path) + ": " + problem.text);
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) unmap_file(data_, size_);
}

ReadSummary read_payload(const unsigned char* file_data, const PayloadLocation& location,
                         RecordVisitor& visitor, bool strict) {
  const unsigned char* frame = file_data + location.offset + PAYLOAD_MAGIC_SIZE;
  ReadSummary summary;
  if (strict) {
    std::vector<FrameBlock> blocks;
    uint64_t frame_size = 0;
    std::string problem;
    if (!walk_frame_blocks(frame, location.frame_size, &blocks, &frame_size, &problem)) {
      throw PackError(problem);
    }
    int seal = check_frame_seal(frame, blocks, &problem);
    if (seal < 0) throw PackError(problem);
    summary.sealed = seal > 0;
  }
  StreamDecoder decoder(frame, location.frame_size);
  std::vector<char> piece(PAYLOAD_PIECE_SIZE * 4);
  RecordInfo record;
  while (read_name(decoder, &record.name)) {
    if (strict) check_name_text(record.name);
    unsigned char fields[RECORD_SIZE_BYTES + RECORD_CHECKSUM_BYTES];
    decoder.read_exact(reinterpret_cast<char*>(fields), sizeof fields, "a record's size and checksum");
    record.size = read_little_endian(fields, RECORD_SIZE_BYTES);
    record.checksum = (uint32_t)read_little_endian(fields + RECORD_SIZE_BYTES, RECORD_CHECKSUM_BYTES);
    visitor.begin_record(record);
    uint64_t left = record.size;
    uint32_t crc = 0;
    while (left > 0) {
      size_t got = decoder.pull(piece.data(), (size_t)std::min<uint64_t>(left, piece.size()),
                                "the data of a record");
      crc = crc32_continue(crc, piece.data(), got);
      visitor.record_data(piece.data(), got);
      left -= got;
    }
    uint32_t computed = stored_checksum(crc);
    if (strict && computed != record.checksum) {
      throw PackError("checksum mismatch for \"" + display_name(record.name) + "\": stored " +
                      hex32(record.checksum) + ", contents give " + hex32(computed));
    }
    visitor.end_record(record, computed);
    ++summary.records;
    summary.bytes += record.size;
  }
  decoder.expect_frame_end();
  return summary;
}

}  // namespace zovari
