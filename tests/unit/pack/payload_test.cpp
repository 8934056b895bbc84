// Reading and writing payloads in the tool (pack/payloads/reader.h,
// pack/payloads/writer.h): the container's bounds, the records' bounds, and
// files that change while they are packed.
#include <gtest/gtest.h>
#include <zstd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pack/system/error.h"
#include "pack/executables/payload_place.h"
#include "pack/payloads/reader.h"
#include "pack/payloads/writer.h"
#include "payload/checksum.h"
#include "tests/unit/pack/table.h"

namespace fs = std::filesystem;
using namespace zovari;
using pack_test::put;

namespace {

std::string name_bytes(const std::u16string& name) {
  std::string out;
  for (char16_t unit : name) put(out, out.size(), unit, 2);
  return out + std::string(2, '\0');
}

// A record of the payload stream, with its true checksum unless one is given.
std::string record(const std::u16string& name, const std::string& data, int64_t checksum = -1) {
  std::string out = name_bytes(name);
  put(out, out.size(), data.size(), 8);
  put(out, out.size(), checksum >= 0 ? (uint64_t)checksum : stored_checksum(crc32_continue(0, data.data(), data.size())), 4);
  return out + data;
}

const std::string END(2, '\0');

std::string frame_of(const std::string& stream) {
  std::string frame(ZSTD_compressBound(stream.size()), '\0');
  size_t size = ZSTD_compress(frame.data(), frame.size(), stream.data(), stream.size(), 3);
  frame.resize(size);
  return frame;
}

// "QDY", the frame, zero padding to a multiple of 8 and the trailer.
std::string container(const std::string& frame) {
  std::string out = "QDY" + frame;
  out.resize((out.size() + 7) / 8 * 8, '\0');
  put(out, out.size(), out.size(), 8);
  return out;
}

struct Listed : RecordVisitor {
  void begin_record(const RecordInfo& record) override { names.push_back(record.name); }
  std::vector<std::u16string> names;
};

// The names read from a payload file's bytes, or the refusal.
std::string read_all(const std::string& file, bool strict, std::vector<std::u16string>* names = nullptr) {
  pack_test::Guarded data(file);
  Listed listed;
  try {
    PayloadLocation location = find_payload(data.data(), file.size());
    read_payload(data.data(), location, listed, strict);
  } catch (const PackError& error) {
    return error.what();
  }
  if (names != nullptr) *names = listed.names;
  return std::string();
}

}  // namespace

TEST(PackPayloadReader, Records) {
  const std::u16string longest(1023, u'n');
  struct Row {
    const char* what;
    std::string stream;
    bool strict;
    const char* problem;
    size_t records;
  };
  const Row rows[] = {
      {"a name of 1024 units", record(longest + u"n", "x") + END, false, "longer than 1023 UTF-16 units", 0},
      {"a name of 1024 units, then its end", name_bytes(longest + u"n") + END, false, "longer than 1023", 0},
      {"the stream ends inside a name", "a", false, "ends inside a record name", 0},
      {"the stream ends right after a name", name_bytes(u"a"), false, "ends inside a record's size and checksum", 0},
      {"the stream ends inside the checksum", record(u"a", "").substr(0, 4 + 11), false, "ends inside a record's size", 0},
      {"a record longer than the stream", record(u"a", "xyz").substr(0, 4 + 12 + 2), false, "ends inside the data of a record", 0},
      {"no end record", record(u"a", "x"), false, "ends inside a record name", 0},
      {"half an end record", record(u"a", "x") + "\0", false, "ends inside a record name", 0},
      {"bytes behind the end record", record(u"a", "x") + END + "z", false, "bytes behind the end record", 0},
      {"a wrong checksum", record(u"a", "x", 7) + END, true, "checksum mismatch for \"a\": stored 00000007", 0},
      {"an empty file's checksum 0", record(u"e", "", 0) + END, true, "contents give 00000001", 0},
      {"a lone surrogate", record(std::u16string(1, (char16_t)0xDC00), "") + END, true, "not valid UTF-16", 0},
      {"a name of 1023 units", record(longest, "x") + END, true, "", 1},
      {"a wrong checksum, not checked", record(u"a", "x", 7) + END, false, "", 1},
      {"a lone surrogate, not checked", record(std::u16string(1, (char16_t)0xD800), "") + END, false, "", 1},
      {"no files", END, true, "", 0},
      {"two files", record(u"main", "m") + record(u"d\\f", std::string(100000, 'f')) + END, true, "", 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::u16string> names;
    pack_test::expect_problem(read_all(container(frame_of(row.stream)), row.strict, &names), row.problem);
    EXPECT_EQ(names.size(), row.records);
  }
}

TEST(PackPayloadReader, Container) {
  const std::string frame = frame_of(record(u"main", "m") + END);
  const std::string good = container(frame);
  auto changed = [&](size_t at, const std::string& bytes) { return std::string(good).replace(at, bytes.size(), bytes); };
  // The padding's first byte and the trailer's place.
  const size_t padding = 3 + frame.size(), trailer = good.size() - 8;
  ASSERT_LT(padding, trailer) << "the frame needs some padding for these rows";
  const std::string junk(64, 'j');
  struct Row {
    const char* what;
    std::string file;
    const char* problem;
    uint64_t offset;
  };
  const Row rows[] = {
      {"a length that is no multiple of 8", good + std::string(4, '\0'), "is not a multiple of 8", 0},
      {"bytes behind the trailer", good + std::string(8, '\0'), "8 bytes follow the payload trailer", 0},
      {"a trailer off by one", changed(trailer, std::string(1, (char)(trailer - 1))), "the payload trailer holds", 0},
      {"a padding byte set", changed(padding, "\x01"), "non-zero byte at payload offset", 0},
      {"only the magic", "QDY" + std::string(5, '\0'), "no zstd frame", 0},
      {"nothing like a payload", junk, "no payload found", 0},
      {"a payload cut inside its trailer", good.substr(0, good.size() - 8) + std::string(8, '\0'), "the payload trailer holds 0", 0},
      {"a payload file", good, "", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    pack_test::Guarded data(row.file);
    try {
      PayloadLocation location = find_payload(data.data(), row.file.size());
      EXPECT_STREQ(row.problem, "") << "found at " << location.offset;
      EXPECT_EQ(location.offset, row.offset);
      EXPECT_EQ(location.length, good.size());
      EXPECT_EQ(location.frame_size, frame.size());
    } catch (const PackError& error) {
      EXPECT_NE(row.problem[0], 0) << error.what();
      EXPECT_NE(std::string(error.what()).find(row.problem), std::string::npos) << error.what();
    }
  }
}

// The writer reads each file once, for its checksum and its contents
// alike: a file whose length is not what it said when the read began is
// refused, never packed half old.  Files of /proc and /sys say so
// deterministically: they give more, or fewer, bytes than their size.  A
// change after the read leaves what was read, which is whole, in the payload.
TEST(PackPayloadWriter, FilesThatChangeOrCannotBeNamed) {
  struct Row {
    const char* what;
    std::u16string name;
    void (*change)(const fs::path&);  // done once the file has been read
    const char* problem;
    const char* source = nullptr;     // the file packed as name, if not one made here
    bool past_held = false;           // f larger than the part the writer holds (128 MiB), read twice
  };
  auto append = [](const fs::path& path) { std::ofstream(path, std::ios::app) << "more"; };
  auto shorten = [](const fs::path& path) { fs::resize_file(path, 1); };
  auto rewrite = [](const fs::path& path) { std::ofstream(path) << "DATA"; };
  const Row rows[] = {
      {"a file that gives more than its size", u"f", nullptr, "file changed while packing (it grew)", "/proc/self/stat"},
      {"a file that gives less than its size", u"f", nullptr, "it became shorter", "/sys/devices/system/cpu/online"},
      {"a file that grows once read", u"f", append, ""},
      {"a file that shrinks once read", u"f", shorten, ""},
      {"a file rewritten once read", u"f", rewrite, ""},
      // Read again behind the held part: a byte behind the size measured at
      // the first reading is growth too (a log written to meanwhile), not to
      // be cut off in silence.
      {"a large file that grows once read", u"f", append, "file changed while packing (it grew)", nullptr, true},
      {"a name of 1024 units", std::u16string(1024, u'n'), nullptr, "name longer than 1023 UTF-16 units"},
      {"a name with a NUL", std::u16string(u"a\0b", 3), nullptr, "holds a NUL"},
      {"an empty name", u"", nullptr, "empty name"},
      {"a name of 1023 units", std::u16string(1023, u'n'), nullptr, ""},
      {"a file left alone", u"f", nullptr, ""},
  };
  const fs::path work = fs::temp_directory_path() / ("zovari-pack-unit-" + std::to_string(::getpid()));
  fs::create_directories(work);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::ofstream(work / "main") << "m";
    std::ofstream(work / "f") << "data";
    if (row.past_held) fs::resize_file(work / "f", ((uint64_t)1 << 27) + 4096);
    if (row.source != nullptr && !fs::exists(row.source)) continue;
    const fs::path source = row.source != nullptr ? fs::path(row.source) : work / "f";
    std::vector<PayloadRecord> records = {{u"main", work / "main"}, {row.name, source}};
    PayloadOptions options;
    options.level = 1;
    options.workers = 1;
    bool changed = false;
    options.progress = [&](uint64_t, const std::u16string& name) {
      if (row.change != nullptr && !changed && name == row.name) {
        row.change(work / "f");
        changed = true;
      }
    };
    fs::path output = work / "payload";
    fs::remove(output);
    std::string found;
    try {
      write_payload_file(records, options, output);
    } catch (const PackError& error) {
      found = error.what();
    }
    pack_test::expect_problem(found, row.problem);
    if (row.problem[0] == 0) {
      std::ifstream in(output, std::ios::binary);
      std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      EXPECT_EQ(read_all(file, true), "");
    } else {
      EXPECT_FALSE(fs::exists(output));
    }
  }
  fs::remove_all(work);
}
