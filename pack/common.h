// What every part of zovari-pack shares: its error, text conversion between
// UTF-8 and UTF-16, quoting for messages, and the temporary file that
// becomes an output only when complete.
#ifndef ZOVARI_PACK_COMMON_H
#define ZOVARI_PACK_COMMON_H

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace zovari {

// Bad input for the packing tool: one clear line for the user.
struct PackError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// UTF-8 <-> UTF-16 for names and values; PackError on text that is not
// valid UTF-8/16.
std::u16string utf16_from_utf8(const std::string& text);
std::string utf8_from_utf16(const std::u16string& text);

// True when text is valid UTF-8.
bool is_utf8(const std::string& text);

// Text between double quotes, as it stands.
std::string in_quotes(const std::string& text);

// A path for a message: in quotes, on one line, with bytes that are not
// UTF-8 text and control characters written as \xNN.
std::string quoted_path(const std::filesystem::path& path);

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
  intptr_t file_ = -1;
  int mark_ = -1;
  bool committed_ = false;
};

}  // namespace zovari

#endif
