// The file checksum: CRC-32 of a file's whole contents, 0 when there are none.
#include <gtest/gtest.h>

#include <string>

#include "payload/checksum.h"
#include "support/test_support.h"

TEST(FileChecksum, IsTheCrc32OfTheContents) {
  zt::TempDir folder;
  ASSERT_TRUE(zt::write_file(folder / L"hello", "hello"));
  EXPECT_EQ(checksum_file((folder / L"hello").c_str()), 0x3610A686u);
  std::string big = zt::random_bytes(300000, 5);
  ASSERT_TRUE(zt::write_file(folder / L"big", big));
  EXPECT_EQ(checksum_file((folder / L"big").c_str()), zt::crc32_of(big));
  EXPECT_EQ(checksum_bytes(big.data(), big.size()), zt::crc32_of(big));
}

TEST(FileChecksum, NoContentsGiveZero) {
  zt::TempDir folder;
  EXPECT_EQ(checksum_file((folder / L"missing").c_str()), 0u);
  ASSERT_TRUE(zt::write_file(folder / L"empty", ""));
  EXPECT_EQ(checksum_file((folder / L"empty").c_str()), 0u);
  ASSERT_TRUE(zt::make_directory(folder / L"directory"));
  EXPECT_EQ(checksum_file((folder / L"directory").c_str()), 0u);
  EXPECT_EQ(checksum_file(zt::join_path(folder / L"missing", L"x").c_str()), 0u);
}

TEST(FileChecksum, ContentsWhoseCrcIsZeroGiveOne) {
  const std::string zero_crc("\x9d\x0a\xd9\x6d", 4);
  ASSERT_EQ(zt::crc32_of(zero_crc), 0u);
  zt::TempDir folder;
  ASSERT_TRUE(zt::write_file(folder / L"zero", zero_crc));
  EXPECT_EQ(checksum_file((folder / L"zero").c_str()), 1u);
  EXPECT_EQ(checksum_bytes(zero_crc.data(), zero_crc.size()), 1u);
  EXPECT_EQ(checksum_bytes("", 0), 1u);
}

TEST(FileChecksum, SameContentsSameChecksumWhateverTheNameOrTime) {
  zt::TempDir folder;
  std::string data = zt::random_bytes(4099, 9);
  ASSERT_TRUE(zt::write_file(folder / L"one", data));
  ASSERT_TRUE(zt::make_directory(folder / L"sub"));
  std::wstring other = zt::join_path(folder / L"sub", L"other.bin");
  ASSERT_TRUE(zt::write_file(other, data));
  ASSERT_TRUE(zt::set_old_modification_time(other));
  EXPECT_EQ(checksum_file((folder / L"one").c_str()), checksum_file(other.c_str()));
  // Contents of another length that happen to share the CRC-32 match too.
  std::string forged = zt::with_crc("other contents", zt::crc32_of(data));
  ASSERT_TRUE(zt::write_file(folder / L"forged", forged));
  EXPECT_EQ(checksum_file((folder / L"forged").c_str()), checksum_file(other.c_str()));
}
