// Unpacking into a real target directory, each run in a process of its own
// (zovari-piece-runner), as the launcher does it at every start.
#include <gtest/gtest.h>

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "paths/fatal.h"
#include "platform/platform.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <unistd.h>
#endif

namespace {

class Unpack : public testing::Test {
 protected:
  // A payload name ("\" between components) as a path in the target.
  std::wstring target_file(const std::wstring& name) const {
    std::wstring path = target_ + PLATFORM_SEPARATOR + name;
    for (wchar_t& unit : path) {
      if (unit == L'\\') unit = PLATFORM_SEPARATOR;
    }
    return path;
  }

  test_support::ChildResult run_payload(const std::string& payload,
                                        const std::vector<std::wstring>& options = {}) {
    std::wstring file = folder_ / L"payload";
    if (!test_support::write_file(file, payload)) ADD_FAILURE() << "cannot write the payload";
    std::wstring runner = test_support::sibling_program(L"zovari-piece-runner");
    std::vector<std::wstring> arguments = {runner};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.insert(arguments.end(), {L"unpack", file, target_});
    return test_support::run_program(runner, arguments);
  }

  test_support::ChildResult run(const std::vector<test_support::Record>& records) {
    return run_payload(test_support::container(
        test_support::compress_frame(test_support::payload_stream(records))));
  }

  std::string contents(const std::wstring& name) const {
    std::string data;
    if (!test_support::read_file(target_file(name), &data)) return "<unreadable>";
    return data;
  }

  std::string main_line(const std::wstring& name) const {
    return "main=" + test_support::narrow(target_file(name)) + "\n";
  }

  std::string open_failure(const std::wstring& name) const {
    return "Error, failed to open '" + test_support::narrow(target_file(name)) + "' for writing.\n";
  }

  test_support::TempDir folder_;
  std::wstring target_ = folder_ / L"target";
};

std::vector<test_support::Record> application() {
  return {{L"app", "MZ" + test_support::random_bytes(1000, 1)},
          {L"sub\\dir\\data.txt", "some text\n"},
          {L"sub\\di\\short.txt", "a folder whose name begins the last one's\n"},
          {L"empty.txt", ""},
          {L"tool", std::string("\x7f" "ELF", 4) + test_support::random_bytes(100, 2)},
          {L"run.sh", "#!/bin/sh\nexit 0\n"},
          {L"almost.sh", "# not a script\n"},
          {L"exact.bin", test_support::random_bytes(0x8000, 3)},
          {L"over.bin", test_support::random_bytes(0x8001, 4)}};
}

}  // namespace

TEST_F(Unpack, FirstRunWritesEveryFileWithItsDirectories) {
  std::vector<test_support::Record> records = application();
  test_support::ChildResult result = run(records);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // The table: the target, sub, sub/dir and sub/di as they were created; no
  // profile folder, which only a climb above the target would need.
  EXPECT_EQ(result.out, main_line(L"app") + "known=4\n");
  EXPECT_EQ(result.err, "");
  for (const test_support::Record& record : records) {
    EXPECT_TRUE(contents(record.name) == record.data) << test_support::narrow(record.name);
  }
#ifndef _WIN32
  unsigned mask = test_support::current_umask();
  EXPECT_EQ(test_support::file_mode(target_file(L"app")), 0777 & ~mask);  // the main binary
  EXPECT_EQ(test_support::file_mode(target_file(L"tool")), 0777 & ~mask);
  EXPECT_EQ(test_support::file_mode(target_file(L"run.sh")), 0777 & ~mask);
  EXPECT_EQ(test_support::file_mode(target_file(L"almost.sh")), 0666 & ~mask);
  EXPECT_EQ(test_support::file_mode(target_file(L"sub\\dir\\data.txt")), 0666 & ~mask);
  EXPECT_EQ(test_support::file_mode(target_file(L"empty.txt")), 0666 & ~mask);
#endif
}

// Names are UTF-16 in the payload.  Windows keeps each unit as it is; the
// POSIX layer writes a pair as the UTF-8 of its character and a lone surrogate
// as the three bytes its value would take, U+DC80..U+DCFF included: written
// as the single byte it stands for elsewhere, "b" U+DCC3 U+DCA9 would be the
// same file as "b\u00e9".
TEST_F(Unpack, NamesBeyondTheBasicPlaneAndLoneSurrogatesReachTheDisk) {
  struct Case {
    std::wstring units;     // the name in the payload, one UTF-16 unit each
    std::string on_posix;   // the name's bytes on Linux
    bool lone;              // holds a surrogate without its partner
  };
  auto name = [](std::initializer_list<uint16_t> units) {
    std::wstring text;
    for (uint16_t unit : units) text += (wchar_t)unit;
    return text;
  };
  const std::vector<Case> cases = {
      {name({'a', 0xD83D, 0xDE00, 'z'}), "a\xF0\x9F\x98\x80z", false},  // U+1F600
      {name({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF", false},               // U+10FFFF
      {name({'h', 0xD83D}), "h\xED\xA0\xBD", true},                     // high alone, last
      {name({0xD83D, 'h'}), "\xED\xA0\xBD" "h", true},                  // high before a letter
      {name({'l', 0xDE00}), "l\xED\xB8\x80", true},                     // low alone
      {name({'w', 0xDE00, 0xD83D}), "w\xED\xB8\x80\xED\xA0\xBD", true},  // the pair reversed
      {name({'t', 0xDC00, 0xDC01}), "t\xED\xB0\x80\xED\xB0\x81", true},  // two lows
      {name({'b', 0xDCC3, 0xDCA9}), "b\xED\xB3\x83\xED\xB2\xA9", true},  // not "b\u00e9"
      {name({'b', 0xE9}), "b\xC3\xA9", false}};
  std::vector<test_support::Record> records;
  std::vector<std::string> expected;
  for (size_t i = 0; i < cases.size(); ++i) {
#ifdef _WIN32
    // Wine keeps names as UTF-8 on the Linux side and refuses a lone
    // surrogate; only the pairs can be checked here.
    if (cases[i].lone) continue;
    std::string bytes;
    for (wchar_t unit : cases[i].units) {
      bytes += (char)(unit & 0xFF);
      bytes += (char)(unit >> 8);
    }
#else
    std::string bytes = cases[i].on_posix;
#endif
    records.push_back({cases[i].units, "file " + std::to_string(i)});
    expected.push_back(bytes);
  }
  test_support::ChildResult result = run(records);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::sort(expected.begin(), expected.end());
  // Nothing of the launcher's lies beside them.
  EXPECT_EQ(test_support::entry_names(target_), expected);
  // Read back under the character's own name, as another program names it.
  EXPECT_EQ(contents(L"a\U0001F600z"), "file 0");
}

TEST_F(Unpack, LaterRunsWriteOnlyWhatDiffers) {
  std::vector<test_support::Record> records = application();
  ASSERT_EQ(run(records).exit_code, 0);
  for (const test_support::Record& record : records) {
    ASSERT_TRUE(test_support::set_old_modification_time(target_file(record.name)));
  }
  const int64_t old_time = test_support::modification_time(target_file(L"app"));

  // Nothing changed: nothing is written, the empty file included (whose
  // checksum cannot be read), so no folder is even looked at.  The skipped
  // first record still names the main binary.
  test_support::ChildResult result = run(records);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, main_line(L"app") + "known=0\n");
  for (const test_support::Record& record : records) {
    EXPECT_EQ(test_support::modification_time(target_file(record.name)), old_time)
        << test_support::narrow(record.name);
  }

  // A file changed on disk is written over; the others stay.
  ASSERT_TRUE(test_support::write_file(target_file(L"sub\\dir\\data.txt"),
                                       "changed, and longer than before"));
  ASSERT_TRUE(test_support::set_old_modification_time(target_file(L"sub\\dir\\data.txt")));
  ASSERT_TRUE(test_support::write_file(target_file(L"over.bin"), ""));
  ASSERT_TRUE(test_support::set_old_modification_time(target_file(L"over.bin")));
  result = run(records);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(contents(L"sub\\dir\\data.txt"), "some text\n");
  EXPECT_TRUE(contents(L"over.bin") == records.back().data);
  EXPECT_NE(test_support::modification_time(target_file(L"sub\\dir\\data.txt")), old_time);
  EXPECT_EQ(test_support::modification_time(target_file(L"exact.bin")), old_time);
  EXPECT_EQ(test_support::modification_time(target_file(L"app")), old_time);
}

TEST_F(Unpack, FileWithTheSameChecksumIsLeftAloneWhateverItHolds) {
  std::string record_data = "what the payload holds";
  std::string on_disk =
      test_support::with_crc("something else entirely", test_support::crc32_of(record_data));
  ASSERT_TRUE(test_support::make_directory(target_));
  ASSERT_TRUE(test_support::write_file(target_file(L"same.txt"), on_disk));
  test_support::ChildResult result = run({{L"same.txt", record_data}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(contents(L"same.txt"), on_disk);
}

// A cold start writes the files of a folder it made without opening them
// first, except where it wrote that file already: a second record of the
// name, or of a spelling that reaches the same file on this system, is
// checked against the disk like any other, and left alone when it matches.
TEST_F(Unpack, FileWrittenEarlierInTheSameStartIsCheckedAgain) {
  const std::string first = "written by the first record";
  const std::string same_checksum =
      test_support::with_crc("other bytes", test_support::crc32_of(first));
  int row = 0;
  for (const wchar_t* again :
       {L"new\\a.txt", L"new/a.txt", L"new\\A.TXT", L"new\\a.txt.", L"new\\a.txt "}) {
    target_ = folder_ / (L"cold-" + std::to_wstring(++row));
    test_support::ChildResult result =
        run({{L"main", "m"}, {L"new\\a.txt", first}, {again, same_checksum}});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(contents(L"new\\a.txt"), first) << test_support::narrow(again);
  }
}

// The target directory's lock: one holder at a time, whatever the spelling of
// the folder's path; a waiter gets it once it is let go, or once its holder's
// process ends, however it ends (the runner ends still holding it).  On Linux
// the lock lies in a private runtime folder here, and on the folder itself in
// the next case.
TEST_F(Unpack, FolderLockHasOneHolderAtATimeUntilItIsLetGoOrItsProcessEnds) {
  ASSERT_TRUE(test_support::make_directory(target_));
  test_support::ScopedEnvironment environment;
#ifndef _WIN32
  ASSERT_EQ(mkdir(test_support::narrow(folder_ / L"runtime").c_str(), 0700), 0);
  environment.set("XDG_RUNTIME_DIR", folder_ / L"runtime");
#endif
  std::wstring runner = test_support::sibling_program(L"zovari-piece-runner");
  std::wstring spelling = target_ + PLATFORM_SEPARATOR + L".";
  auto lock_in_runner = [&](const wchar_t* wait, const std::wstring& marker = L"") {
    std::vector<std::wstring> arguments = {runner, L"lock", spelling, wait};
    if (!marker.empty()) arguments.push_back(marker);
    return test_support::run_program(runner, arguments).out;
  };
  platform_handle held = platform_lock_directory(target_.c_str(), 0);
  ASSERT_NE(held, (platform_handle)0);
  EXPECT_EQ(lock_in_runner(L"50"), "lock=0\n");

  std::string waited;
  std::thread waiter([&] { waited = lock_in_runner(L"20000"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  platform_unlock_directory(held);
  waiter.join();
  EXPECT_EQ(waited, "lock=1\n");

  // The holder ends while this process waits (on Windows the mutex is then
  // abandoned, and passes to the waiter).  No step has a deadline of its own
  // (a program's first start in a new Wine prefix, on a loaded machine, may
  // take a minute): the holder's marker is awaited for as long as the holder
  // runs, and the lock for ten minutes, past the test's own time-out.
  std::wstring marker = folder_ / L"holding";
  std::string holder;
  std::atomic<bool> holder_ended(false);
  std::thread holding([&] {
    holder = lock_in_runner(L"600000", marker);
    holder_ended = true;
  });
  while (!holder_ended && !test_support::file_exists(marker)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::thread ender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    while (!test_support::remove_file(marker) && test_support::file_exists(marker) && !holder_ended) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  held = platform_lock_directory(target_.c_str(), 600000);
  ender.join();
  holding.join();
  EXPECT_EQ(holder, "lock=1\n");
  EXPECT_NE(held, (platform_handle)0);
  if (held != 0) platform_unlock_directory(held);
}

// A start that finds a file to write takes the lock and looks again: it
// waits while another start holds the lock, and leaves alone what that one
// wrote meanwhile, even though its folders were made before the wait.
TEST_F(Unpack, FileWrittenWhileWaitingForTheLockIsNotWrittenAgain) {
  std::vector<test_support::Record> records = {{L"bin\\app", "the program"},
                                               {L"bin\\data", "its data"}};
  ASSERT_TRUE(test_support::make_directory(target_));
  test_support::ScopedEnvironment environment;
#ifndef _WIN32
  environment.set("XDG_RUNTIME_DIR", L"no-runtime-folder");  // relative: none
#endif
  platform_handle held = platform_lock_directory(target_.c_str(), 0);
  ASSERT_NE(held, (platform_handle)0);
  test_support::ChildResult result;
  std::atomic<bool> ended(false);
  std::thread start([&] {
    result = run(records);
    ended = true;
  });
  // The runner makes bin just before it waits for the lock.
  for (int i = 0; i < 4000 && !test_support::directory_exists(target_file(L"bin")); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (const test_support::Record& record : records) {
    EXPECT_TRUE(test_support::write_file(target_file(record.name), record.data));
    EXPECT_TRUE(test_support::set_old_modification_time(target_file(record.name)));
  }
  const int64_t old_time = test_support::modification_time(target_file(L"bin\\app"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(ended);
  platform_unlock_directory(held);
  start.join();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  for (const test_support::Record& record : records) {
    EXPECT_EQ(test_support::modification_time(target_file(record.name)), old_time)
        << test_support::narrow(record.name);
  }
}

TEST_F(Unpack, PayloadWithoutFilesTouchesNothing) {
  test_support::ChildResult result = run({});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "main=\nknown=0\n");
  EXPECT_FALSE(test_support::directory_exists(target_));
}

TEST_F(Unpack, NothingBehindTheEndRecordIsUnpacked) {
  std::string stream = test_support::payload_stream({{L"first", "1"}}) +
                       test_support::payload_stream({{L"behind", "2"}});
  test_support::ChildResult result =
      run_payload(test_support::container(test_support::compress_frame(stream)));
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(contents(L"first"), "1");
  EXPECT_FALSE(test_support::file_exists(target_file(L"behind")));
}

TEST_F(Unpack, StreamsOfWholeWindowsUnpack) {
  // name "f" (4 bytes), size and checksum (12), data, end record (2).
  for (size_t size : {0x20000, 0x40000}) {
    std::string data = test_support::random_bytes(size - 18, (uint32_t)size);
    ASSERT_EQ(test_support::payload_stream({{L"f", data}}).size(), size);
    test_support::ChildResult result = run({{L"f", data}});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(contents(L"f") == data);
  }
}

TEST_F(Unpack, DirectoryAtAFilesPathFailsTheOpen) {
  ASSERT_TRUE(test_support::make_directory(target_));
  ASSERT_TRUE(test_support::make_directory(target_file(L"data.txt")));
  // An empty one is replaced; what lies in one may be the user's.
  ASSERT_TRUE(test_support::write_file(target_file(L"data.txt\\kept"), "kept"));
  test_support::ChildResult result =
      run({{L"first.txt", "1"}, {L"data.txt", "2"}, {L"after.txt", "3"}});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, open_failure(L"data.txt"));
  EXPECT_EQ(contents(L"first.txt"), "1");
  EXPECT_FALSE(test_support::file_exists(target_file(L"after.txt")));

  // An empty record is no more held by a directory than a full one is.
  result = run({{L"first.txt", "1"}, {L"data.txt", ""}});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.err, open_failure(L"data.txt"));
  EXPECT_EQ(contents(L"data.txt\\kept"), "kept");

  // Emptied, it is replaced by the file.
  ASSERT_TRUE(test_support::remove_file(target_file(L"data.txt\\kept")));
  result = run({{L"first.txt", "1"}, {L"data.txt", "2"}});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(contents(L"data.txt"), "2");
}

TEST_F(Unpack, RegularFileWhereADirectoryBelongsFailsTheOpen) {
  ASSERT_TRUE(test_support::make_directory(target_));
  ASSERT_TRUE(test_support::write_file(target_file(L"plain"), "a file"));
  test_support::ChildResult result = run({{L"plain\\inner.txt", "x"}});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.err, open_failure(L"plain\\inner.txt"));
  EXPECT_EQ(contents(L"plain"), "a file");

  // Where the target directory itself cannot be made, the message names the
  // file that cannot be written there, as any other open failure does.
  target_ = target_file(L"plain") + PLATFORM_SEPARATOR + L"target";
  result = run({{L"app", "x"}});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.err, open_failure(L"app"));
}

TEST_F(Unpack, UnwritableFileWithOtherContentsFailsTheOpen) {
  ASSERT_TRUE(test_support::make_directory(target_));
  std::wstring locked = target_file(L"locked.txt");
  ASSERT_TRUE(test_support::write_file(locked, "old contents"));
  if (!test_support::set_unwritable(locked, true)) {
    GTEST_SKIP() << "no way here to make a file unwritable for root (Linux: the file system has no immutable flag; Wine as root ignores the read-only attribute)";
  }
  test_support::ChildResult result = run({{L"locked.txt", "new contents"}});
  test_support::set_unwritable(locked, false);
#ifdef _WIN32
  // The read-only attribute is the user's to take away: the file is replaced.
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(contents(L"locked.txt"), "new contents");
#else
  // An immutable file cannot be removed either.
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.err, open_failure(L"locked.txt"));
  EXPECT_EQ(contents(L"locked.txt"), "old contents");
#endif
}

TEST_F(Unpack, NamesUpTo1023UnitsFitAndLongerAbort) {
  // Components short enough for any file system, joined into one long name.
  auto long_name = [](size_t units) {
    std::wstring name;
    while (name.size() < units) {
      if (!name.empty()) name += L'\\';
      name += std::wstring(std::min<size_t>(100, units - name.size()), L'n');
    }
    return name;
  };
  std::wstring longest = long_name(1023);
  ASSERT_EQ(longest.size(), 1023u);
  test_support::ChildResult result = run({{L"main", "m"}, {longest, "deep"}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(contents(longest), "deep");

  std::wstring too_long = long_name(1024);
  ASSERT_EQ(too_long.size(), 1024u);
  result = run({{L"main", "m"}, {too_long, "deep"}});
  EXPECT_TRUE(test_support::ended_by_abort(result)) << result.exit_code << " " << result.err;
}

// The target directory, a separator and the name must fit in 4095 units.
// The directory need not exist: the bound is met before anything is opened.
TEST_F(Unpack, TargetPathOfMoreThan4095UnitsAborts) {
  std::wstring deep = folder_.path();
  while (deep.size() < 3500) deep += std::wstring(1, PLATFORM_SEPARATOR) + std::wstring(99, L'd');
  deep.resize(3500);
  target_ = deep;
  std::wstring fits(4095 - 3500 - 1, L'n');
  test_support::ChildResult result = run({{fits, "x"}});
  EXPECT_EQ(result.exit_code, 2);  // the open fails; the path itself was fine
  EXPECT_EQ(result.err, open_failure(fits));
  result = run({{fits + L"n", "x"}});
  EXPECT_TRUE(test_support::ended_by_abort(result)) << result.exit_code << " " << result.err;
}

TEST_F(Unpack, TruncatedPayloadKeepsTheFilesBeforeIt) {
  std::vector<test_support::Record> records = {{L"a.bin", test_support::random_bytes(50000, 11)},
                                               {L"b.bin", test_support::random_bytes(70000, 12)},
                                               {L"c.bin", test_support::random_bytes(200000, 13)}};
  std::string stream = test_support::payload_stream(records);
  size_t after_a = test_support::payload_stream({records[0]}, false).size();
  size_t after_b = test_support::payload_stream({records[0], records[1]}, false).size();
  std::vector<size_t> compressed;
  std::string frame = test_support::compress_frame(stream, 0x88, {after_a, after_b}, &compressed);
  ASSERT_EQ(compressed.size(), 2u);

  test_support::ChildResult result =
      run_payload(test_support::container(frame.substr(0, compressed[1] + 1000)));
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.out, "Error, couldn't decode attached data.\n");
  EXPECT_TRUE(contents(L"a.bin") == records[0].data);
  EXPECT_TRUE(contents(L"b.bin") == records[1].data);

  // The next start finds both complete and writes only the third.
  ASSERT_TRUE(test_support::set_old_modification_time(target_file(L"a.bin")));
  ASSERT_TRUE(test_support::set_old_modification_time(target_file(L"b.bin")));
  int64_t old_time = test_support::modification_time(target_file(L"a.bin"));
  result = run_payload(test_support::container(frame));
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(test_support::modification_time(target_file(L"a.bin")), old_time);
  EXPECT_EQ(test_support::modification_time(target_file(L"b.bin")), old_time);
  EXPECT_TRUE(contents(L"c.bin") == records[2].data);
}

#ifndef _WIN32
// A named pipe where a file belongs must not make the launcher wait for a
// peer: it is no cached file, and it cannot be written.
// Damage that still decodes: a file whose contents do not give its record's
// checksum ends the start before anything could start it, and again at the
// next start; a checksum that no record stores (0, or other than 1 for no
// data) would make a missing or empty file count as unpacked.
TEST_F(Unpack, DamagedRecordEndsEveryStart) {
  struct Case {
    const char* what;
    std::string data;
    uint32_t stored;
  };
  const Case cases[] = {{"contents that differ", "damaged", test_support::file_checksum_of("right")},
                        {"a stored 0", "data", 0},
                        {"no data, stored other than 1", "", 2}};
  int row = 0;
  for (const Case& c : cases) {
    target_ = folder_ / (L"damaged-" + std::to_wstring(++row));
    const test_support::Record main = {L"main", "m"};
    std::string stream = test_support::payload_stream({main, {L"x.bin", c.data}});
    size_t stored_at = test_support::payload_stream({main}, false).size() + 12 + 8;
    for (size_t i = 0; i < 4; ++i) stream[stored_at + i] = (char)(c.stored >> (8 * i));
    for (int start = 0; start < 2; ++start) {
      test_support::ChildResult result = run_payload(test_support::container(test_support::compress_frame(stream)));
      EXPECT_EQ(result.exit_code, 2) << c.what << ", start " << start;
      EXPECT_EQ(result.out, "Error, couldn't decode attached data.\n") << c.what;
    }
  }
}

// What stands at a file's place and may not be written over where it is is
// replaced by a plain file of the launcher's mode, at every start, even
// where it holds the very contents: a pipe (with or without a reader: it
// gets nothing, and the start waits for nobody), a device or a socket (never
// opened), a file that others can write (it could change after the check),
// a read-only file of the user's, an empty folder.
TEST_F(Unpack, NamedPipeAtAFilesPathFailsTheOpenWithoutWaiting) {
  const std::string data = "the payload's data\n";
  auto at = [&](const wchar_t* name) { return test_support::narrow(target_file(name)); };
  int reader = -1;
  struct Case {
    const char* what;
    std::function<void(const std::string&)> plant;
  };
  auto file_of_mode = [&](mode_t mode, const std::string& held) {
    return [&, mode, held](const std::string& path) {
      ASSERT_TRUE(test_support::write_file(test_support::widen(path), held));
      ASSERT_EQ(chmod(path.c_str(), mode), 0);
    };
  };
  const std::vector<Case> cases = {
      {"a named pipe without a reader", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
      {"a named pipe with a reader",
       [&](const std::string& path) {
         ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
         reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
         ASSERT_GE(reader, 0);
       }},
      {"a character device",
       [](const std::string& path) { ASSERT_EQ(mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0); }},
      {"a block device", [](const std::string& path) { ASSERT_EQ(mknod(path.c_str(), S_IFBLK | 0600, makedev(7, 255)), 0); }},
      {"a socket",
       [](const std::string& path) {
         ASSERT_EQ(mknod(path.c_str(), S_IFSOCK | 0600, 0), 0);
       }},
      {"a file that everyone can write", file_of_mode(0666, data)},
      {"a file that its group can write", file_of_mode(0664, data)},
      {"an empty folder", [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }}};
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    target_ = folder_ / (L"target-" + std::to_wstring(++row));
    ASSERT_TRUE(test_support::make_directory(target_));
    c.plant(at(L"empty"));
    if (reader >= 0) close(reader);
    reader = -1;
    c.plant(at(L"data"));
    // Whatever the umask, nobody else may write what the launcher makes.
    mode_t mask = umask(0);
    test_support::ChildResult result = run({{L"main", "m"}, {L"data", data}, {L"empty", ""}});
    umask(mask);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(contents(L"data"), data);
    for (const wchar_t* name : {L"data", L"empty"}) {
      struct stat status;
      ASSERT_EQ(lstat(at(name).c_str(), &status), 0);
      EXPECT_TRUE(S_ISREG(status.st_mode));
      EXPECT_EQ(status.st_mode & 07777, 0644u);
    }
    if (reader >= 0) {
      char byte;
      EXPECT_LE(read(reader, &byte, 1), 0);
      close(reader);
      reader = -1;
    }
  }
  // A read-only file of the user's that differs, where the user, not root,
  // cannot write it over: replaced all the same, not a failure at every start.
  const uid_t other = 65534;
  target_ = folder_ / L"target-read-only";
  ASSERT_TRUE(test_support::make_directory(target_));
  ASSERT_TRUE(test_support::write_file(target_file(L"data"), "old contents"));
  ASSERT_EQ(chmod(at(L"data").c_str(), 0444), 0);
  ASSERT_EQ(chmod(test_support::narrow(folder_.path()).c_str(), 0755), 0);
  for (const wchar_t* name : {L"", L"data"}) {
    ASSERT_EQ(lchown(at(name).c_str(), other, other), 0);
  }
  std::wstring payload = folder_ / L"payload";
  ASSERT_TRUE(test_support::write_file(payload, test_support::container(test_support::compress_frame(
                                                    test_support::payload_stream({{L"main", "m"}, {L"data", data}})))));
  ASSERT_EQ(chmod(test_support::narrow(payload).c_str(), 0644), 0);
  std::wstring runner = test_support::sibling_program(L"zovari-piece-runner");
  test_support::ChildResult result = test_support::run_program(
      L"/usr/bin/setpriv", {L"setpriv", L"--reuid=65534", L"--regid=65534", L"--clear-groups", runner,
                            L"unpack", payload, target_});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(contents(L"data"), data);
}

// A file written over gets the mode its new contents call for, not the one
// it had.
TEST_F(Unpack, RewrittenFileTakesTheModeOfItsContents) {
  ASSERT_TRUE(test_support::make_directory(target_));
  ASSERT_TRUE(test_support::write_file(target_file(L"main"), "old"));
  ASSERT_TRUE(test_support::write_file(target_file(L"data"), "old"));
  ASSERT_EQ(chmod(test_support::narrow(target_file(L"main")).c_str(), 0600), 0);
  ASSERT_EQ(chmod(test_support::narrow(target_file(L"data")).c_str(), 0700), 0);
  test_support::ChildResult result = run({{L"main", "new"}, {L"data", "new"}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  unsigned mask = test_support::current_umask();
  EXPECT_EQ(test_support::file_mode(target_file(L"main")), 0777 & ~(mask | 022));
  EXPECT_EQ(test_support::file_mode(target_file(L"data")), 0666 & ~(mask | 022));
}

// Another account that may read the target folder holds the folder's own
// flock: the lock lies in this user's private runtime folder, out of its
// reach.  A runtime folder that is not this user's alone (open to others,
// another account's, a link to the right one) is not used, and the lock is
// then the folder's own, as where there is none.
TEST_F(Unpack, FolderLockLiesWhereOnlyThisUserCanOpenIt) {
  ASSERT_TRUE(test_support::make_directory(target_));
  const std::string top = test_support::narrow(folder_.path()), target = test_support::narrow(target_);
  ASSERT_EQ(chmod(top.c_str(), 0755), 0);
  ASSERT_EQ(chmod(target.c_str(), 0755), 0);
  const std::string runtime = top + "/runtime";
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((top + "/open").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((top + "/theirs").c_str(), 0700), 0);
  ASSERT_EQ(chown((top + "/theirs").c_str(), 65534, 65534), 0);
  ASSERT_EQ(symlink(runtime.c_str(), (top + "/link").c_str()), 0);
  pid_t holder = fork();
  if (holder == 0) {
    setpgid(0, 0);
    execl("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
          "/usr/bin/flock", "--exclusive", target.c_str(), "/bin/sleep", "60", (char*)nullptr);
    _exit(127);
  }
  ASSERT_GT(holder, 0);
  int probe = open(target.c_str(), O_RDONLY | O_DIRECTORY);
  bool held = false;
  for (int i = 0; i < 2000 && !held; ++i) {
    held = flock(probe, LOCK_EX | LOCK_NB) != 0;
    if (!held) flock(probe, LOCK_UN), usleep(5000);
  }
  close(probe);
  EXPECT_TRUE(held) << "the other account never took the folder's flock";

  test_support::ScopedEnvironment environment;
  for (const char* name : {"runtime", "open", "theirs", "link"}) {
    environment.set("XDG_RUNTIME_DIR", folder_ / test_support::widen(name));
    platform_handle lock = platform_lock_directory(target_.c_str(), 0);
    EXPECT_EQ(lock != 0, name == std::string("runtime")) << name;
    if (lock != 0) platform_unlock_directory(lock);
  }
  kill(-holder, SIGKILL);
  waitpid(holder, nullptr, 0);
}

TEST_F(Unpack, FailedWriteIsReportedWithTheSystemError) {
  // Files may grow to 1000 bytes in the runner: the first piece fails.
  test_support::ChildResult result = run_payload(
      test_support::container(test_support::compress_frame(
          test_support::payload_stream({{L"big.bin", test_support::random_bytes(0x9000, 21)}}))),
      {L"--file-size-limit=1000"});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.out, "");
  char* text = platform_error_text(EFBIG);
  ASSERT_NE(text, nullptr);
  trim_line_end(text);
  EXPECT_EQ(result.err, std::string("Error, couldn't unpack file to target path. ([Error ") +
                            std::to_string(EFBIG) + "] " + text + ")\n");
  free(text);
}
// What stands inside the target directory that this start did not make: a
// link where a folder belongs is replaced, and nothing is checked, written or
// started through it; a file that another account owns, or that has another
// name, is replaced, never written through; a folder that another account
// owns or can write to ends the start with its name.
TEST_F(Unpack, LinksAndOtherAccountsFilesInsideTheTargetAreNeverUsed) {
  const uid_t other = 65534;
  std::wstring elsewhere = folder_ / L"elsewhere";
  auto at = [](const std::wstring& path) { return test_support::narrow(path); };
  auto inode = [&](const std::wstring& path) {
    struct stat status;
    return lstat(at(path).c_str(), &status) == 0 ? status.st_ino : 0;
  };
  struct Case {
    const char* what;
    std::function<void()> plant;  // in the target, which holds "sub" and "sub/data.txt"
    std::string kept;             // what the file elsewhere must still hold
    std::string refused;          // the folder an unsafe-directory message names, if any
  };
  const std::string data = "the payload's data\n";
  std::wstring outside = elsewhere + L"/data.txt";
  auto link_folder = [&] {
    ASSERT_EQ(symlink(at(elsewhere).c_str(), at(target_file(L"sub")).c_str()), 0);
  };
  auto hard_link = [&] {
    ASSERT_TRUE(test_support::make_directory(target_file(L"sub")));
    ASSERT_EQ(link(at(outside).c_str(), at(target_file(L"sub\\data.txt")).c_str()), 0);
  };
  auto folder = [&](uid_t owner, mode_t mode) {
    ASSERT_TRUE(test_support::make_directory(target_file(L"sub")));
    ASSERT_EQ(chown(at(target_file(L"sub")).c_str(), owner, owner), 0);
    ASSERT_EQ(chmod(at(target_file(L"sub")).c_str(), mode), 0);
  };
  auto differing = [&] { ASSERT_TRUE(test_support::write_file(outside, "other")); };
  const std::vector<Case> cases = {
      {"a link to a folder, whose file matches", link_folder, data, ""},
      {"a link to a folder, whose file differs", [&] { differing(); link_folder(); }, "other", ""},
      {"a hard link to another account's file that matches",
       [&] {
         ASSERT_EQ(chown(at(outside).c_str(), other, other), 0);
         hard_link();
       },
       data, ""},
      {"a hard link to the user's own file that differs", [&] { differing(); hard_link(); }, "other", ""},
      {"a folder that another account owns", [&] { folder(other, 0700); }, data, "owned by another user"},
      {"a folder that others can write to", [&] { folder(geteuid(), 0777); }, data, "others can write to it"}};
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    target_ = folder_ / (L"target-" + std::to_wstring(++row));
    elsewhere = folder_ / (L"elsewhere-" + std::to_wstring(row));
    outside = elsewhere + L"/data.txt";
    ASSERT_TRUE(test_support::make_directory(target_));
    ASSERT_TRUE(test_support::make_directory(elsewhere));
    ASSERT_TRUE(test_support::write_file(outside, data));
    c.plant();
    ino_t outside_inode = inode(outside);
    test_support::ChildResult result = run({{L"main", "m"}, {L"sub\\data.txt", data}});
    std::string kept;
    EXPECT_TRUE(test_support::read_file(outside, &kept));
    EXPECT_EQ(kept, c.kept);
    if (!c.refused.empty()) {
      EXPECT_EQ(result.exit_code, 2);
      EXPECT_EQ(result.err, "Error, unsafe target directory '" + at(target_file(L"sub")) + "' (" +
                                c.refused + ").\n");
      continue;
    }
    ASSERT_EQ(result.exit_code, 0) << result.err;
    struct stat status;
    ASSERT_EQ(lstat(at(target_file(L"sub")).c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(contents(L"sub\\data.txt"), data);
    EXPECT_NE(inode(target_file(L"sub\\data.txt")), outside_inode);
  }
}
#endif
