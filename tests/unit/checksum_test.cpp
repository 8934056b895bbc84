// The file checksum: CRC-32 of a file's whole contents, 0 when there are none.
#include <gtest/gtest.h>

#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "payload/checksum.h"
#include "platform/platform.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <unistd.h>
#endif

TEST(FileChecksum, IsTheCrc32OfTheContents) {
  test_support::TempDir folder;
  ASSERT_TRUE(test_support::write_file(folder / L"hello", "hello"));
  EXPECT_EQ(checksum_file((folder / L"hello").c_str()), 0x3610A686u);
  std::string big = test_support::random_bytes(300000, 5);
  ASSERT_TRUE(test_support::write_file(folder / L"big", big));
  EXPECT_EQ(checksum_file((folder / L"big").c_str()), test_support::crc32_of(big));
  EXPECT_EQ(checksum_bytes(big.data(), big.size()), test_support::crc32_of(big));
}

TEST(FileChecksum, NoContentsGiveZero) {
  test_support::TempDir folder;
  EXPECT_EQ(checksum_file((folder / L"missing").c_str()), 0u);
  ASSERT_TRUE(test_support::write_file(folder / L"empty", ""));
  EXPECT_EQ(checksum_file((folder / L"empty").c_str()), 0u);
  ASSERT_TRUE(test_support::make_directory(folder / L"directory"));
  EXPECT_EQ(checksum_file((folder / L"directory").c_str()), 0u);
  EXPECT_EQ(checksum_file(test_support::join_path(folder / L"missing", L"x").c_str()), 0u);
#ifndef _WIN32
  // A symbolic link has no contents of its own, whatever it leads to.
  ASSERT_TRUE(test_support::write_file(folder / L"full", "contents"));
  ASSERT_EQ(symlink("full", test_support::narrow(folder / L"link").c_str()), 0);
  EXPECT_EQ(checksum_file((folder / L"link").c_str()), 0u);
#endif
}

// Another process may cut a file short while it is being checked: the reads
// then end early, with a failure or with only what is still there, and never
// pass the file off as the whole it was.
TEST(FileChecksum, FileCutShortWhileCheckedIsNotTakenForWhole) {
  test_support::TempDir folder;
  const std::wstring path = folder / L"shrinking";
  std::string data = test_support::random_bytes(600000, 3);
  ASSERT_TRUE(test_support::write_file(path, data));
  platform_file_reader reader;
  ASSERT_TRUE(platform_open_reader(path.c_str(), &reader));
  std::error_code error;
  std::filesystem::resize_file(std::filesystem::path(path), 1000, error);
  EXPECT_FALSE(error) << error.message();
  uLong crc = crc32(0L, Z_NULL, 0);
  uint64_t seen = 0;
  bool failed = false;
  while (platform_read_next(&reader, &failed)) {
    crc = crc32(crc, reader.data, (uInt)reader.size);
    seen += reader.size;
  }
  platform_close_reader(&reader);
  EXPECT_LE(seen, 1000u);
  EXPECT_TRUE(failed || crc == test_support::crc32_of(data.substr(0, 1000)));
}

TEST(FileChecksum, ContentsWhoseCrcIsZeroGiveOne) {
  const std::string zero_crc("\x9d\x0a\xd9\x6d", 4);
  ASSERT_EQ(test_support::crc32_of(zero_crc), 0u);
  test_support::TempDir folder;
  ASSERT_TRUE(test_support::write_file(folder / L"zero", zero_crc));
  EXPECT_EQ(checksum_file((folder / L"zero").c_str()), 1u);
  EXPECT_EQ(checksum_bytes(zero_crc.data(), zero_crc.size()), 1u);
  EXPECT_EQ(checksum_bytes("", 0), 1u);
}

TEST(FileChecksum, SameContentsSameChecksumWhateverTheNameOrTime) {
  test_support::TempDir folder;
  std::string data = test_support::random_bytes(4099, 9);
  ASSERT_TRUE(test_support::write_file(folder / L"one", data));
  ASSERT_TRUE(test_support::make_directory(folder / L"sub"));
  std::wstring other = test_support::join_path(folder / L"sub", L"other.bin");
  ASSERT_TRUE(test_support::write_file(other, data));
  ASSERT_TRUE(test_support::set_old_modification_time(other));
  EXPECT_EQ(checksum_file((folder / L"one").c_str()), checksum_file(other.c_str()));
  // Contents of another length that happen to share the CRC-32 match too.
  std::string forged = test_support::with_crc("other contents", test_support::crc32_of(data));
  ASSERT_TRUE(test_support::write_file(folder / L"forged", forged));
  EXPECT_EQ(checksum_file((folder / L"forged").c_str()), checksum_file(other.c_str()));
}

// A file of 4 GiB and more is checked whole: its length is not taken in 32
// bits, so it can count as cached like any other.  The file is sparse: zeros
// up to 2^32 bytes, then "end".
TEST(FileChecksum, FileBeyondFourGibibytesIsCheckedWhole) {
  test_support::TempDir folder;
  const std::wstring path = folder / L"large";
  const uint64_t zeros = 1ull << 32;
  {
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out.seekp((std::streamoff)zeros);
    out.write("end", 3);
    ASSERT_TRUE(out.good());
  }
  std::vector<unsigned char> block(1 << 20, 0);
  uLong block_crc = crc32(0, block.data(), (uInt)block.size());
  uLong expected = 0;
  for (uint64_t done = 0; done < zeros; done += block.size()) {
    expected = crc32_combine(expected, block_crc, (z_off_t)block.size());
  }
  expected = crc32_combine(expected, crc32(0, (const Bytef*)"end", 3), 3);
  EXPECT_EQ(checksum_file(path.c_str()), (uint32_t)expected);
}
