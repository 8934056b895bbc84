// Writes payloads: the file records of an application, compressed into one
// zstd frame and framed as the launcher expects (magic, frame, zero padding
// to a multiple of 8, trailer).  Used by zovari-pack and by the tests.
#ifndef ZOVARI_PACK_PAYLOAD_WRITER_H
#define ZOVARI_PACK_PAYLOAD_WRITER_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zovari {

// Bad input for the packing tool: one clear line for the user.
struct PackError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One file of the payload: its name (UTF-16, "\" between components) and
// where its contents come from, a file on disk or bytes in memory.
struct PayloadRecord {
  std::u16string name;
  std::filesystem::path source;  // used when contents is empty and from_file
  std::string contents;
  bool from_file = false;
};

struct PayloadOptions {
  int level = 19;        // zstd compression level
  int workers = 2;       // compression threads, where the library has them
  // Called as file contents go into the frame: the bytes of contents done
  // so far and the record they belong to.  Optional.
  std::function<void(uint64_t done, const std::u16string& name)> progress;
};

// The records of an application folder: main (a path relative to dir) first,
// then every other regular file sorted by name.  Links to files are followed;
// links to directories, dangling links, names that cannot be spelled in
// UTF-16 or hold "\" on a system where it is no separator, names over 1023
// units and an empty folder are refused with a PackError.
std::vector<PayloadRecord> collect_application(const std::filesystem::path& dir,
                                               const std::filesystem::path& main);

// The uncompressed payload stream: the records and the end record.
std::string build_payload_stream(const std::vector<PayloadRecord>& records);

// The whole payload in memory.
std::string build_payload(const std::vector<PayloadRecord>& records,
                          const PayloadOptions& options = PayloadOptions());

// Frames an already compressed stream (one zstd frame) as a payload: magic,
// frame, padding, trailer.
std::string frame_payload(const std::string& compressed_frame);

// Writes the payload to output, streaming file contents, through a temporary
// file beside it that replaces output only when complete.  Throws PackError.
void write_payload_file(const std::vector<PayloadRecord>& records, const PayloadOptions& options,
                        const std::filesystem::path& output);

// A temporary file beside an output, to be renamed over it when complete.
// It is created exclusively (never a file or link that was there before) and
// written through the descriptor it was created with.  It is removed when the
// object goes without commit(), and when the process is interrupted once
// remove_temporary_on_signals() (cleanup.h) has run.
class TemporaryOutput {
 public:
  explicit TemporaryOutput(const std::filesystem::path& output);
  ~TemporaryOutput();
  TemporaryOutput(const TemporaryOutput&) = delete;
  TemporaryOutput& operator=(const TemporaryOutput&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Appends to the file.  Throws PackError.
  void write(const char* data, size_t size);
  // Gives the file these permission bits, whatever the umask.
  void set_mode(unsigned mode);
  // Closes the file and renames it over the output.  Throws PackError.
  void commit();

 private:
  std::filesystem::path path_, output_;
  int fd_ = -1;
  int mark_ = -1;
  bool committed_ = false;
};

// The file checksum the launcher compares: CRC-32, with 0 written as 1.
uint32_t record_checksum(const void* data, size_t size);

// UTF-8 <-> UTF-16 for names; PackError on text that is not valid UTF-8/16.
std::u16string utf16_from_utf8(const std::string& text);
std::string utf8_from_utf16(const std::u16string& text);

}  // namespace zovari

#endif
