// The payload stream reader: exact amounts across window refills, and the
// decode failure for everything a frame can get wrong.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "payload/reader.h"
#include "support/test_support.h"

namespace {

const size_t WINDOW = 0x20000;

// A stream whose every byte tells its offset, so a misplaced byte shows.
std::string counting_stream(size_t size) {
  std::string stream(size, '\0');
  for (size_t i = 0; i < size; ++i) stream[i] = (char)((i * 7 + i / 251) & 0xFF);
  return stream;
}

// The reader over a whole payload, magic and trailer included, as the
// launcher sets it up.  The payload must outlive the reads.
void start(const std::string& payload) {
  payload_reader_init(payload.data() + 3, payload.size() - 3);
}

std::string read(size_t count) {
  std::string bytes(count, '\0');
  payload_read(&bytes[0], count);
  return bytes;
}

const char DECODE_MESSAGE[] = "Error, couldn't decode attached data\\.";

}  // namespace

TEST(PayloadReader, ReadsSpanningRefillsArriveWhole) {
  std::string stream = counting_stream(3 * WINDOW + 1234);
  std::string payload = test_support::container(test_support::compress_frame(stream));
  start(payload);
  size_t offset = 0;
  // Ten bytes short of the first window's end, then a piece that spans it.
  EXPECT_EQ(read(WINDOW - 10), stream.substr(0, WINDOW - 10));
  offset = WINDOW - 10;
  EXPECT_EQ(read(0x8000), stream.substr(offset, 0x8000));
  offset += 0x8000;
  // One odd byte, then 2-byte units, so that one unit straddles each refill.
  EXPECT_EQ(read(1), stream.substr(offset, 1));
  ++offset;
  std::string units;
  while (offset + 2 <= stream.size()) {
    units += read(2);
    offset += 2;
  }
  units += read(stream.size() - offset);
  EXPECT_TRUE(units == stream.substr(WINDOW - 10 + 0x8000 + 1)) << "2-byte reads differ";
  payload_reader_close();
}

TEST(PayloadReader, SkippingAdvancesLikeReading) {
  std::string stream = counting_stream(WINDOW + 100);
  std::string payload = test_support::container(test_support::compress_frame(stream));
  start(payload);
  payload_skip(WINDOW + 50);
  EXPECT_EQ(read(50), stream.substr(WINDOW + 50));
  payload_reader_close();
}

TEST(PayloadReader, StreamsOfWholeWindowsReadToTheirEnd) {
  for (size_t windows : {1, 3}) {
    std::string stream = counting_stream(windows * WINDOW);
    std::string payload = test_support::container(test_support::compress_frame(stream));
    start(payload);
    EXPECT_TRUE(read(stream.size() - 3) == stream.substr(0, stream.size() - 3));
    EXPECT_EQ(read(3), stream.substr(stream.size() - 3));
    payload_reader_close();
  }
}

// A frame that ends exactly at the end of the input, with neither padding
// nor trailer behind it, still yields its last window.
TEST(PayloadReader, FrameWithoutTrailerReadsToItsLastByte) {
  std::string stream = counting_stream(2 * WINDOW);
  std::string payload = "QDY" + test_support::compress_frame(stream);
  start(payload);
  EXPECT_TRUE(read(stream.size()) == stream);
  payload_reader_close();
}

TEST(PayloadReader, ReadPastTheEndIsADecodeFailure) {
  std::string stream = counting_stream(WINDOW);
  std::string payload = test_support::container(test_support::compress_frame(stream));
  EXPECT_EXIT(
      {
        test_support::redirect_stdout_to_stderr();
        start(payload);
        read(WINDOW);
        read(1);
      },
      testing::ExitedWithCode(2), DECODE_MESSAGE);
  // Without the trailer the input simply runs out.
  std::string bare = "QDY" + test_support::compress_frame(counting_stream(100));
  EXPECT_EXIT(
      {
        test_support::redirect_stdout_to_stderr();
        start(bare);
        read(101);
      },
      testing::ExitedWithCode(2), DECODE_MESSAGE);
}

TEST(PayloadReader, WindowOfTwoToThe27IsAcceptedAndTwoToThe28Refused) {
  std::string stream = counting_stream(1000);
  std::string accepted = test_support::container(test_support::compress_frame(stream, 0x88));
  start(accepted);
  EXPECT_EQ(read(1000), stream);
  payload_reader_close();
  std::string refused = test_support::container(test_support::compress_frame(stream, 0x90));
  EXPECT_EXIT(
      {
        test_support::redirect_stdout_to_stderr();
        start(refused);
        read(1);
      },
      testing::ExitedWithCode(2), DECODE_MESSAGE);
}

TEST(PayloadReader, CorruptAndTruncatedFramesAreDecodeFailures) {
  std::string stream = counting_stream(3 * WINDOW);
  std::string frame = test_support::compress_frame(stream);
  // A reserved block type in the first block header, right after the 6-byte
  // frame header.
  std::string reserved_block = frame;
  reserved_block[6] = (char)(reserved_block[6] | 0x06);
  std::string bad_magic = frame;
  bad_magic[0] = (char)(bad_magic[0] ^ 0x01);
  std::string truncated = frame.substr(0, frame.size() / 2);
  for (const std::string* broken : {&reserved_block, &bad_magic, &truncated}) {
    std::string payload = test_support::container(*broken);
    EXPECT_EXIT(
        {
          test_support::redirect_stdout_to_stderr();
          start(payload);
          read(stream.size());
        },
        testing::ExitedWithCode(2), DECODE_MESSAGE);
  }
}

// The message goes to standard output alone, as its own line.
TEST(PayloadReader, DecodeFailureIsReportedOnStandardOutput) {
  test_support::TempDir folder;
  ASSERT_TRUE(test_support::write_file(
      folder / L"payload", test_support::container(test_support::compress_frame("abc"))));
  std::wstring runner = test_support::sibling_program(L"zovari-piece-runner");
  test_support::ChildResult result =
      test_support::run_program(runner, {runner, L"read", folder / L"payload", L"3"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "read 3\n");
  result = test_support::run_program(runner, {runner, L"read", folder / L"payload", L"2", L"2"});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.out, "Error, couldn't decode attached data.\n");
  EXPECT_EQ(result.err, "");
}

#ifndef _WIN32
// With no room left to map the 128 KiB window, set-up fails with its own
// message; with room for it but not for the frame's 128 MiB window, which
// the decoder takes at the first read, that read does (a memory limit, not
// damage).
TEST(PayloadReader, WindowThatCannotBeAllocatedIsReported) {
  test_support::TempDir folder;
  ASSERT_TRUE(test_support::write_file(
      folder / L"payload", test_support::container(test_support::compress_frame("abc"))));
  std::wstring runner = test_support::sibling_program(L"zovari-piece-runner");
  for (const wchar_t* margin : {L"--address-space-margin=16384", L"--address-space-margin=16777216"}) {
    test_support::ChildResult result =
        test_support::run_program(runner, {runner, margin, L"read", folder / L"payload", L"3"});
    EXPECT_EQ(result.exit_code, 2) << margin;
    EXPECT_EQ(result.out, "Error, couldn't allocate memory.\n") << margin;
    EXPECT_EQ(result.err, "");
  }
}
#endif
