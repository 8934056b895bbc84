// The frame seal: a CRC-32 of the frame's own bytes, hidden in the frame.
//
// The container format has no checksum over the frame and the frame carries
// no content checksum (descriptor 0x00), so a damaged file name would go
// unnoticed: names are not covered by the file checksums.  The writer
// therefore ends its frame with four RLE blocks of size 0.  Each regenerates
// no byte, so the payload stream is unchanged and every zstd decoder (the
// launcher's included) reads past them, but each carries one byte: together,
// little-endian, the CRC-32 of the frame's bytes before them (from the zstd
// magic on).  `zovari-pack verify` and the launcher check the seal where a
// frame has one (payload/format.h keeps its layout).
#ifndef ZOVARI_PACK_FRAME_SEAL_H
#define ZOVARI_PACK_FRAME_SEAL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "payload/format.h"

namespace zovari {

const size_t SEAL_BLOCKS = PAYLOAD_SEAL_BLOCKS;

// The blocks of a frame: where each header starts, its type, size in the
// header, whether it is the last one, and where its contents start.
struct FrameBlock {
  uint64_t offset;
  unsigned type;  // 0 raw, 1 RLE, 2 compressed, 3 reserved
  uint32_t size;
  bool last;
};

// The seal's 16 bytes for a CRC-32.
std::string seal_blocks(uint32_t crc);

// Splits the blocks of the frame at data (its zstd magic first), walking
// the block headers only.  Returns false, with *problem set, when they do
// not form a frame within size; *frame_size is the frame's length.
bool walk_frame_blocks(const unsigned char* data, uint64_t size, std::vector<FrameBlock>* blocks,
                       uint64_t* frame_size, std::string* problem);

// Checks the seal of a walked frame.  Returns 1 when sealed and correct,
// 0 when the frame has no seal, -1 (with *problem) when it is damaged.
int check_frame_seal(const unsigned char* frame, const std::vector<FrameBlock>& blocks,
                     std::string* problem);

// Rewrites a frame as the compressor emits it, piece by piece: clears the
// last-block flag, counts the CRC, and hands the bytes on; finish() then
// appends the seal.  Expects the header 00 88 that the writer asks for.
class FrameSealer {
 public:
  // Takes the next bytes of the frame and changes them in place where needed;
  // the caller then writes them on.
  void feed(char* data, size_t size);
  // True once the frame's last block has been seen.
  bool complete() const { return state_ == DONE; }
  uint32_t crc() const { return crc_; }

 private:
  enum State { HEADER, BLOCK_HEADER, BLOCK_BODY, DONE };
  State state_ = HEADER;
  size_t header_seen_ = 0;
  unsigned char block_header_[3] = {0, 0, 0};
  size_t block_header_seen_ = 0;
  uint64_t body_left_ = 0;
  bool last_ = false;
  uint32_t crc_ = 0;
};

}  // namespace zovari

#endif
