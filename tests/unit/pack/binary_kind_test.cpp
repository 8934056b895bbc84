// What a file is from its first bytes (pack/executables/binary_kind.h), hostile and
// truncated headers first.  Every head ends at an unreadable page: a read
// past the bytes it is given crashes the test.
#include <gtest/gtest.h>

#include <string>

#include "pack/executables/binary_kind.h"
#include "payload/programs.h"
#include "tests/unit/pack/table.h"

using namespace zovari;
using pack_test::put;

namespace {

// "MZ", the PE header's offset at 0x3C and, at that offset, "PE\0\0" and a
// subsystem field, in size bytes.
std::string pe_head(uint32_t pe, size_t size, unsigned subsystem = SUBSYSTEM_CONSOLE) {
  std::string bytes(std::max<size_t>(size, (size_t)std::min<uint64_t>(pe + 96ull, 4096)), '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  put(bytes, 0x3C, pe, 4);
  if (pe >= 0x40 && pe + 96ull <= bytes.size()) {
    bytes.replace(pe, 4, std::string("PE\0\0", 4));
    put(bytes, pe + 4 + 20 + 68, subsystem, 2);
  }
  bytes.resize(size);
  return bytes;
}

}  // namespace

TEST(PackBinaryKind, FromTheFirstBytes) {
  struct Row {
    const char* what;
    std::string head;
    BinaryFormat format;
    unsigned subsystem;
  };
  const Row rows[] = {
      {"PE offset far beyond the head", pe_head(0xFFFFFFF0u, 0x200), BinaryFormat::other, 0},
      {"PE offset just beyond the head", pe_head(0x48, 0x44), BinaryFormat::other, 0},
      {"PE offset at the end of the head", pe_head(0x100, 0x100), BinaryFormat::other, 0},
      {"subsystem one byte short", pe_head(0x40, 0x40 + 93), BinaryFormat::other, 0},
      {"subsystem just inside", pe_head(0x40, 0x40 + 94), BinaryFormat::pe, SUBSYSTEM_CONSOLE},
      {"MZ too short for the PE offset", pe_head(0x40, 0x3F), BinaryFormat::other, 0},
      {"MZ alone", "MZ", BinaryFormat::other, 0},
      {"PE offset 0", pe_head(0, 0x100), BinaryFormat::other, 0},
      {"broken PE signature", pe_head(0x40, 0x100).replace(0x43, 1, "\x01"), BinaryFormat::other, 0},
      {"mz in small letters", pe_head(0x40, 0x100).replace(0, 2, "mz"), BinaryFormat::other, 0},
      {"ELF cut short", std::string("\x7f" "EL"), BinaryFormat::other, 0},
      {"ELF misspelt", std::string("\x7f" "ELf"), BinaryFormat::other, 0},
      {"empty", std::string(), BinaryFormat::other, 0},
      {"ELF, four bytes", std::string("\x7f" "ELF"), BinaryFormat::elf, 0},
      {"GUI program", pe_head(0x80, 0x200, SUBSYSTEM_WINDOWS), BinaryFormat::pe, SUBSYSTEM_WINDOWS},
      {"EFI program", pe_head(0xF8, 0x400, 10), BinaryFormat::pe, 10},
      {"console program, high offset", pe_head(0xFF00, BINARY_HEAD_BYTES, SUBSYSTEM_CONSOLE),
       BinaryFormat::pe, SUBSYSTEM_CONSOLE},
      {"a script", std::string("#!/bin/sh\n"), BinaryFormat::other, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    pack_test::Guarded head(row.head);
    BinaryKind kind = binary_kind(head.data(), row.head.size());
    EXPECT_EQ(kind.format, row.format);
    EXPECT_EQ(kind.subsystem, row.subsystem);
  }
}

// What extract and the launcher make executable.
TEST(PackBinaryKind, StartsLikeAProgram) {
  const std::pair<std::string, bool> rows[] = {
      {"#", false},  {"M", false},     {"\x7f" "EL", false}, {"", false},
      {"!#", false}, {"ZM", false},    {"#!", true},         {"MZ", true},
      {"\x7f" "ELF", true}, {"#!/usr/bin/env python3\n", true}, {"MZ\x90", true}, {"\x7f" "ELF\x02", true},
      {"# comment\n", false}, {"\x7f" "ELG", false},
  };
  for (const auto& [head, program] : rows) {
    pack_test::Guarded bytes(head);
    EXPECT_EQ(starts_like_program(bytes.data(), head.size()), program) << head;
  }
}
