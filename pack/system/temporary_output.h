// The temporary file that becomes an output only when it is complete.
#ifndef ZOVARI_PACK_TEMPORARY_OUTPUT_H
#define ZOVARI_PACK_TEMPORARY_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace zovari {

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

// Makes the output's folder where it is missing, as far down as needed,
// and checks that a file can be created beside the output, before any long
// work is done for it.  An output that is there and is no regular file (a
// folder, a named pipe, a device) is refused, and again just before the
// finished file would be renamed over it.  Throws PackError.
void prepare_output(const std::filesystem::path& output);

}  // namespace zovari

#endif
