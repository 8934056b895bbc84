// What the unit tests share: temporary folders, files, child programs with
// their output captured, environment changes that undo themselves and a payload
// builder.
//
// This is test code: it may call the operating system directly.
#ifndef ZOVARI_TESTS_SUPPORT_H
#define ZOVARI_TESTS_SUPPORT_H

#include <stdint.h>

#include <string>
#include <vector>

namespace test_support {

// --- Text -------------------------------------------------------------------

// UTF-8 <-> wchar_t (UTF-16 on Windows, code points on Linux).
std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);

// a, this system's separator, b.
std::wstring join_path(const std::wstring& a, const std::wstring& b);

// --- Files ------------------------------------------------------------------

// A fresh folder under the system's temporary folder, removed with all its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return join_path(path_, name); }

 private:
  std::wstring path_;
};

bool write_file(const std::wstring& path, const std::string& data);
// The whole file; false when it cannot be read.
bool read_file(const std::wstring& path, std::string* data);
bool file_exists(const std::wstring& path);  // a regular file
bool directory_exists(const std::wstring& path);
bool make_directory(const std::wstring& path);
bool remove_directory(const std::wstring& path);  // an empty one
bool remove_file(const std::wstring& path);
bool copy_file(const std::wstring& from, const std::wstring& to);
// The names in a folder as the file system keeps them, sorted: the bytes of
// each name on Linux, its UTF-16 units as little-endian bytes on Windows.
std::vector<std::string> entry_names(const std::wstring& path);

// Modification time in the system's own units.
int64_t modification_time(const std::wstring& path);
// Sets the modification time to a moment long past, so that any later write
// shows without waiting for the clock.
bool set_old_modification_time(const std::wstring& path);

// Makes a file unwritable even for root (Linux: the immutable flag, where the
// file system has it; Windows: the read-only attribute).  False when that
// cannot be done here.
bool set_unwritable(const std::wstring& path, bool unwritable);

#ifndef _WIN32
// The permission bits of a file, and the current umask.
unsigned file_mode(const std::wstring& path);
unsigned current_umask();
#endif

// --- Environment ------------------------------------------------------------

// The variable's value as the system itself reports it; false when unset.
bool environment_variable(const char* name, std::wstring* value);

// Sets or removes variables and puts each back as it was when it goes.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  void set(const char* name, const std::wstring& value);
  void unset(const char* name);

 private:
  struct Saved {
    std::string name;
    bool was_set;
    std::wstring value;
  };
  void save(const char* name);
  std::vector<Saved> saved_;
};

// --- Programs -----------------------------------------------------------------

struct ChildResult {
  bool started = false;
  int exit_code = -1;   // valid when the program ended normally
  int signal = 0;       // Linux: the signal that ended it
  std::string out;
  std::string err;
};

// Runs program with arguments (argument 0 is the program itself), its
// standard output and error captured, and waits for it.  On Windows each CR LF
// of the captured text, the C run-time's line end, is read as a line feed.
ChildResult run_program(const std::wstring& program, const std::vector<std::wstring>& arguments);

// True when the program ended through abort (Linux: SIGABRT; Windows: exit
// code 3, the C run-time's abort status).
bool ended_by_abort(const ChildResult& result);

// The path of the running test program, and of a program built beside it
// (name without extension: ".exe" is added on Windows).
std::wstring own_program_path();
std::wstring sibling_program(const std::wstring& name);

// Sends this process's standard output to its standard error stream, so that
// a death test can match a message written to standard output.
void redirect_stdout_to_stderr();

// --- Payloads -------------------------------------------------------------------

struct Record {
  std::wstring name;  // "\" between components, as payload names are written
  std::string data;
};

// The CRC-32 of zlib, gzip and PNG, and the file checksum (0 written as 1).
uint32_t crc32_of(const std::string& data);
uint32_t file_checksum_of(const std::string& data);

// prefix and four bytes after it chosen so that the whole has CRC-32 crc.
std::string with_crc(const std::string& prefix, uint32_t crc);

// The payload stream: each record (UTF-16LE name, 0x0000, u64 size, u32
// checksum, data), then the end record unless end_record is false.
std::string payload_stream(const std::vector<Record>& records, bool end_record = true);

// One zstd frame of stream without content size or checksum, its window
// descriptor set to the given one (0x88: 2^27 bytes, as the packing tool
// writes it).  Where flush_points holds stream offsets, the compressed data
// up to each is completed there, and compressed_points receives the frame's
// length at each.
std::string compress_frame(const std::string& stream, unsigned char window_descriptor = 0x88,
                           const std::vector<size_t>& flush_points = {},
                           std::vector<size_t>* compressed_points = nullptr);

// "QDY", the frame, zero padding to a multiple of 8, the u64 trailer.
std::string container(const std::string& frame);

// Random bytes that do not compress, from a fixed seed.
std::string random_bytes(size_t size, uint32_t seed);

}  // namespace test_support

#endif
