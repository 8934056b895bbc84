// Writes payloads: the file records of an application, compressed into one
// zstd frame and framed as the launcher expects (magic, frame, zero padding
// to a multiple of 8, trailer).  Used by zovari-pack and by the benchmark.
#ifndef ZOVARI_PACK_PAYLOAD_WRITER_H
#define ZOVARI_PACK_PAYLOAD_WRITER_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pack/system/error.h"

namespace zovari {

// One file of the payload: its name (UTF-16, "\" between components) and
// the file on disk that holds its contents.
struct PayloadRecord {
  std::u16string name;
  std::filesystem::path source;
};

struct PayloadOptions {
  int level = 19;        // zstd compression level
  // zstd worker threads; 0: one per core.  The frame is the same for any
  // count, since the compressor always runs in its multi-threaded mode.
  int workers = 0;
  // Long-distance matching within the launcher's window.
  bool long_distance = true;
  // Called as the frame is compressed: about the bytes of contents done so
  // far (the records' headers counted in, capped at the contents' total)
  // and the record being read.  Optional.
  std::function<void(uint64_t done, const std::u16string& name)> progress;
};

// Whether --exclude leaves out the entry at a path inside the application
// folder (UTF-8, "/" between components).
using ExcludeFilter = std::function<bool(const std::string& relative)>;

// The records of an application folder: main (a path relative to dir) first,
// then every other regular file sorted by name, without the files and
// folders that leaves_out names (which are not looked at).  Links to
// files are followed; a main binary given in another case is found when it
// is the one such file and a Windows program (Windows reads names so);
// links to directories, dangling links (all named at once), names that
// cannot be spelled in UTF-16 or hold "\" on a system where it is no
// separator, names over 1023 units, an excluded main binary and an empty
// folder are refused with a PackError.
std::vector<PayloadRecord> collect_application(const std::filesystem::path& dir,
                                               const std::filesystem::path& main,
                                               const ExcludeFilter& leaves_out = ExcludeFilter());

// The worker count that workers = 0 stands for: the cores this process may run on.
int default_workers();

// Writes the payload to output, streaming file contents, through a temporary
// file beside it that replaces output only when complete.  Throws PackError.
void write_payload_file(const std::vector<PayloadRecord>& records, const PayloadOptions& options,
                        const std::filesystem::path& output);

}  // namespace zovari

#endif
