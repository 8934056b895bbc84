#include "payload/reader.h"

#include <stdlib.h>
#include <string.h>

#include <zstd.h>
#include <zstd_errors.h>

#include "paths/fatal.h"
#include "payload/checksum.h"
#include "payload/format.h"
#include "platform/platform.h"

static const size_t WINDOW_SIZE = 0x20000;

static ZSTD_inBuffer PayloadInput;
static ZSTD_outBuffer DecodeWindow;  // between calls: size = fill, pos = read position
static ZSTD_DCtx* DecompressionContext;
// Whether the last refill filled the whole window: then the decompressor may
// hold more output even with its input used up.  Kept across reads, so a frame
// that ends exactly at the end of the input still reads to its last byte.
// A guard only: zstd holds the frame's last input byte back until it has
// given out all its output, so with it the input is never used up while
// output waits, and no test can make this flag matter.  It stays for a
// decoder that releases its input sooner.
static bool WindowWasFull;
// The payload is read once, front to back: what the decompressor has taken
// need not stay in memory, which keeps a large payload's peak near the
// frame's window.  Released in steps of 256 KiB, not at every refill: with
// the payload mapped from the image, what is not yet released is what the
// payload adds to the peak (4 MiB steps kept the Windows launcher of the
// largest application 3 MiB over its goal under Wine).
static const size_t RELEASE_STEP = 256 << 10;
static size_t ReleasedInput;
// The CRC-32 of the frame's bytes that the decompressor has taken, up to
// SealedInput: the last PAYLOAD_SEAL_SIZE bytes taken are held back, since the
// frame's last ones may be its seal.  Counted before they are released.
static uint32_t FrameCrc;
static size_t SealedInput;
// Whether the decompressor has come to the frame's end.
static bool FrameEnded;

void payload_reader_init(const void* start, size_t length) {
  void* window = malloc(WINDOW_SIZE);
  if (window == nullptr) {
    fail_with_message("Error, couldn't allocate memory.");
  }
  // The decoder takes its window from malloc, in ordinary pages.  Asking
  // for 2 MiB pages behind it (MADV_HUGEPAGE) cuts a start's page faults
  // from some 25,000 to some 800 and its fastest runs by a tenth, but a
  // fault may then wait while the kernel compacts memory, and on a machine
  // whose memory had just been churned some starts took twice as long.
  DecompressionContext = ZSTD_createDCtx();
  if (DecompressionContext == nullptr) {
    fail_with_message("Error, couldn't allocate memory.");
  }
  PayloadInput.src = start;
  PayloadInput.size = length;
  PayloadInput.pos = 0;
  ReleasedInput = 0;
  FrameCrc = 0;
  SealedInput = 0;
  FrameEnded = false;
  DecodeWindow.dst = window;
  DecodeWindow.size = 0;
  DecodeWindow.pos = 0;
  WindowWasFull = false;
}

void payload_fail_decode(void) {
  fail_with_message("Error, couldn't decode attached data.");
}

// Refills the empty window, or ends the process when no more bytes can come.
static void refill_window(void) {
  if (PayloadInput.pos >= PayloadInput.size && !WindowWasFull) {
    payload_fail_decode();
  }
  DecodeWindow.size = WINDOW_SIZE;
  DecodeWindow.pos = 0;
  size_t result = ZSTD_decompressStream(DecompressionContext, &DecodeWindow, &PayloadInput);
  if (ZSTD_isError(result)) {
    // The decoder takes the frame's window (up to 128 MiB) at its first
    // call: no memory for it is no damage.
    if (ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation) {
      fail_with_message("Error, couldn't allocate memory.");
    }
    payload_fail_decode();
  }
  WindowWasFull = DecodeWindow.pos == WINDOW_SIZE;
  FrameEnded = FrameEnded || result == 0;
  const unsigned char* input = (const unsigned char*)PayloadInput.src;
  if (PayloadInput.pos >= SealedInput + PAYLOAD_SEAL_SIZE) {
    size_t counted = PayloadInput.pos - PAYLOAD_SEAL_SIZE;
    FrameCrc = crc32_continue(FrameCrc, input + SealedInput, counted - SealedInput);
    SealedInput = counted;
  }
  if (SealedInput - ReleasedInput >= RELEASE_STEP) {
    platform_release_pages(input + ReleasedInput, SealedInput - ReleasedInput);
    ReleasedInput = SealedInput;
  }
  DecodeWindow.size = DecodeWindow.pos;
  DecodeWindow.pos = 0;
}

// Hands the next count bytes to destination, or drops them when it is null.
static void take_bytes(unsigned char* destination, size_t count) {
  while (count > 0) {
    size_t available = DecodeWindow.size - DecodeWindow.pos;
    if (available == 0) {
      refill_window();
      continue;
    }
    size_t taken = available < count ? available : count;
    if (destination != nullptr) {
      memcpy(destination, (unsigned char*)DecodeWindow.dst + DecodeWindow.pos, taken);
      destination += taken;
    }
    DecodeWindow.pos += taken;
    count -= taken;
  }
}

void payload_read(void* destination, size_t count) {
  take_bytes((unsigned char*)destination, count);
}

void payload_skip(size_t count) {
  take_bytes(nullptr, count);
}

void payload_reader_finish(void) {
  while (!FrameEnded) {
    DecodeWindow.pos = DecodeWindow.size;  // what follows the end record is dropped
    refill_window();
  }
  // A frame of another writer has no seal: its content checksum, if it has
  // one, the decompressor checked.
  const unsigned char* input = (const unsigned char*)PayloadInput.src;
  uint32_t sealed;
  if (PayloadInput.pos != SealedInput + PAYLOAD_SEAL_SIZE ||
      !read_frame_seal(input + SealedInput, &sealed)) {
    return;
  }
  if (FrameCrc != sealed) payload_fail_decode();
}

void payload_reader_close(void) {
  ZSTD_freeDCtx(DecompressionContext);
  DecompressionContext = nullptr;
  free(DecodeWindow.dst);
  DecodeWindow.dst = nullptr;
  DecodeWindow.size = 0;
  DecodeWindow.pos = 0;
}
