#include "pack/payloads/frame_seal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pack/system/error.h"
#include "payload/checksum.h"
#include "payload/format.h"

namespace zovari {

namespace {

const unsigned BLOCK_RLE = 1;
const unsigned BLOCK_RESERVED = 3;

uint64_t block_body_size(unsigned type, uint32_t size) { return type == BLOCK_RLE ? 1 : size; }

// The frame header's length from its descriptor byte (RFC 8878, 3.1.1.1).
size_t frame_header_size(unsigned char descriptor) {
  static const size_t content_size_bytes[4] = {0, 2, 4, 8};
  static const size_t dictionary_bytes[4] = {0, 1, 2, 4};
  bool single_segment = (descriptor >> 5) & 1;
  size_t size = 4 + 1 + (single_segment ? 0 : 1) + dictionary_bytes[descriptor & 3];
  unsigned content_flag = descriptor >> 6;
  size += (content_flag == 0 && single_segment) ? 1 : content_size_bytes[content_flag];
  return size;
}

}  // namespace

std::string seal_blocks(uint32_t crc) {
  std::string out;
  for (size_t i = 0; i < SEAL_BLOCKS; ++i) {
    // Block header: size 0, type RLE, last flag on the final one.
    out.push_back((char)((BLOCK_RLE << 1) | (i + 1 == SEAL_BLOCKS ? 1 : 0)));
    out.push_back('\0');
    out.push_back('\0');
    out.push_back((char)((crc >> (8 * i)) & 0xFF));
  }
  return out;
}

bool walk_frame_blocks(const unsigned char* data, uint64_t size, std::vector<FrameBlock>* blocks,
                       uint64_t* frame_size, std::string* problem) {
  blocks->clear();
  if (size < 6 || std::memcmp(data, ZSTD_FRAME_MAGIC, ZSTD_FRAME_MAGIC_SIZE) != 0) {
    *problem = "no zstd frame where the payload's frame should start";
    return false;
  }
  uint64_t position = frame_header_size(data[4]);
  for (;;) {
    if (position + 3 > size) {
      *problem = "the zstd frame is cut short (a block header lies beyond its end)";
      return false;
    }
    uint32_t header = (uint32_t)read_little_endian(data + position, 3);
    FrameBlock block{position, (header >> 1) & 3, header >> 3, (header & 1) != 0};
    if (block.type == BLOCK_RESERVED) {
      *problem = "the zstd frame holds a block of the reserved type";
      return false;
    }
    position += 3 + block_body_size(block.type, block.size);
    if (position > size) {
      *problem = "the zstd frame is cut short (a block reaches beyond its end)";
      return false;
    }
    blocks->push_back(block);
    if (block.last) break;
  }
  // A frame with the checksum flag carries 4 more bytes.
  if ((data[4] >> 2) & 1) position += 4;
  if (position > size) {
    *problem = "the zstd frame is cut short (its checksum is missing)";
    return false;
  }
  *frame_size = position;
  return true;
}

int check_frame_seal(const unsigned char* frame, const std::vector<FrameBlock>& blocks,
                     std::string* problem) {
  size_t trailing = 0;
  while (trailing < blocks.size()) {
    const FrameBlock& block = blocks[blocks.size() - 1 - trailing];
    if (block.type != BLOCK_RLE || block.size != 0) break;
    ++trailing;
  }
  if (trailing == 0) return 0;
  if (trailing != SEAL_BLOCKS || blocks.size() == SEAL_BLOCKS) {
    *problem = "the frame's seal is damaged (wrong number of seal blocks)";
    return -1;
  }
  const FrameBlock& first = blocks[blocks.size() - SEAL_BLOCKS];
  uint32_t stored = 0;
  for (size_t i = 0; i < SEAL_BLOCKS; ++i) {
    stored |= (uint32_t)frame[blocks[blocks.size() - SEAL_BLOCKS + i].offset + 3] << (8 * i);
  }
  uint32_t computed = crc32_continue(0, frame, first.offset);
  if (computed != stored) {
    char text[120];
    std::snprintf(text, sizeof text,
                  "the frame's bytes do not match its seal (CRC-32 %08x, sealed %08x)", computed,
                  stored);
    *problem = text;
    return -1;
  }
  return 1;
}

void FrameSealer::feed(char* data, size_t size) {
  unsigned char* bytes = reinterpret_cast<unsigned char*>(data);
  size_t i = 0;
  while (i < size) {
    switch (state_) {
      case HEADER: {
        // The zstd magic, then the two descriptors the writer asks for.
        unsigned char expected = PAYLOAD_WINDOW_DESCRIPTOR;
        if (header_seen_ < ZSTD_FRAME_MAGIC_SIZE) {
          expected = ZSTD_FRAME_MAGIC[header_seen_];
        } else if (header_seen_ == ZSTD_FRAME_MAGIC_SIZE) {
          expected = PAYLOAD_FRAME_DESCRIPTOR;
        }
        if (bytes[i] != expected) {
          throw PackError("internal error: zstd wrote an unexpected frame header");
        }
        if (++header_seen_ == ZSTD_FRAME_MAGIC_SIZE + 2) state_ = BLOCK_HEADER;
        ++i;
        break;
      }
      case BLOCK_HEADER:
        if (block_header_seen_ == 0 && (bytes[i] & 1)) {
          bytes[i] &= 0xFE;  // the seal's blocks follow this one
          last_ = true;
        }
        block_header_[block_header_seen_++] = bytes[i++];
        if (block_header_seen_ == 3) {
          uint32_t header = (uint32_t)read_little_endian(block_header_, 3);
          body_left_ = block_body_size((header >> 1) & 3, header >> 3);
          block_header_seen_ = 0;
          state_ = body_left_ > 0 ? BLOCK_BODY : (last_ ? DONE : BLOCK_HEADER);
        }
        break;
      case BLOCK_BODY: {
        uint64_t take = std::min<uint64_t>(body_left_, size - i);
        i += (size_t)take;
        body_left_ -= take;
        if (body_left_ == 0) state_ = last_ ? DONE : BLOCK_HEADER;
        break;
      }
      case DONE:
        throw PackError("internal error: zstd wrote bytes behind its last block");
    }
  }
  crc_ = crc32_continue(crc_, bytes, size);
}

}  // namespace zovari
