// Payload writer: collects an application folder, writes the payload stream
// and compresses it into one zstd frame with the header the launcher expects
// (descriptor 0x00, window 0x88), framed as the launcher expects.
#include "pack/payloads/writer.h"

// For ZSTD_getFrameProgression; the header and the library are one version.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <system_error>

#include "pack/payloads/frame_seal.h"
#include "pack/payloads/names.h"
#include "pack/system/system.h"
#include "pack/system/temporary_output.h"
#include "pack/system/text.h"
#include "pack/system/cleanup.h"
#include "payload/checksum.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

const size_t READ_PIECE = 1 << 20;

// The bytes of a record's name, its terminating unit, size and checksum.
std::string record_header(const std::u16string& name, uint64_t size, uint32_t checksum) {
  std::string out;
  for (char16_t unit : name) {
    out.push_back((char)(unit & 0xFF));
    out.push_back((char)(unit >> 8));
  }
  out.append(2, '\0');
  unsigned char fields[RECORD_SIZE_BYTES + RECORD_CHECKSUM_BYTES];
  write_little_endian(fields, size, RECORD_SIZE_BYTES);
  write_little_endian(fields + RECORD_SIZE_BYTES, checksum, RECORD_CHECKSUM_BYTES);
  out.append(reinterpret_cast<const char*>(fields), sizeof fields);
  return out;
}

// The refusal of a name of units UTF-16 units, shown as shown.
PackError name_too_long(size_t units, const std::string& shown) {
  return PackError("name longer than " + std::to_string(PAYLOAD_NAME_UNITS) + " UTF-16 units (" +
                   std::to_string(units) + "): " + shown);
}

void check_name(const std::u16string& name) {
  if (name.empty()) throw PackError("a payload record has an empty name");
  if (name.find(u'\0') != std::u16string::npos) {
    throw PackError("name holds a NUL character: " + utf8_from_utf16(name));
  }
  if (name.size() > PAYLOAD_NAME_UNITS) throw name_too_long(name.size(), utf8_from_utf16(name));
}

// A file read in pieces, every read error reported (a stream would take a
// failing read for the end of the file).
class InputFile {
 public:
  explicit InputFile(const fs::path& path) : path_(path) {
    SystemProblem problem;
    file_ = open_for_reading(path, &problem);
    if (file_ == NO_FILE) {
      throw PackError("cannot read " + quoted_path(path) + ": " + problem.text +
                      (problem.missing ? " (it vanished while packing)" : ""));
    }
  }
  ~InputFile() {
    SystemProblem ignored;
    close_file(file_, &ignored);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Up to size bytes; 0 at the end of the file.
  size_t read(char* data, size_t size) {
    SystemProblem problem;
    long long got = read_file(file_, data, size, &problem);
    if (got < 0) throw PackError("cannot read " + quoted_path(path_) + ": " + problem.text);
    return (size_t)got;
  }
  FileVersion version() {
    SystemProblem problem;
    FileVersion result;
    if (!file_version(file_, &result, &problem)) {
      throw PackError("cannot read " + quoted_path(path_) + ": " + problem.text);
    }
    return result;
  }
  void seek(uint64_t offset) {
    SystemProblem problem;
    if (!seek_file(file_, offset, &problem)) {
      throw PackError("cannot read " + quoted_path(path_) + ": " + problem.text);
    }
  }
  // Exactly size bytes unless the file ends first; returns the count read.
  size_t read_full(char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
      size_t got = read(data + done, size - done);
      if (got == 0) break;
      done += got;
    }
    return done;
  }

 private:
  fs::path path_;
  FileId file_ = NO_FILE;
};

// A file's contents read once, for its record: the size and checksum that
// the record's header needs come first in the stream, so the contents are
// held (in a buffer kept from file to file) until the header is written.
// Only the first HELD_LIMIT bytes are held; a larger file's rest is read
// again behind them, and must give the same checksum.
const uint64_t HELD_LIMIT = (uint64_t)1 << PAYLOAD_WINDOW_LOG;

class FileContents {
 public:
  FileContents(const fs::path& path, std::vector<char>* held) : path_(path), in_(path), held_(*held) {
    FileVersion before = in_.version();
    for (;;) {
      bool holding = held_size_ < HELD_LIMIT;
      // The buffer only grows, so no file pays for filling it again.
      if (holding && held_.size() < held_size_ + READ_PIECE) held_.resize(held_size_ + READ_PIECE);
      char* buffer = holding ? held_.data() + held_size_ : spare();
      size_t got = in_.read_full(buffer, READ_PIECE);
      crc_ = crc32_continue(crc_, buffer, got);
      if (holding) {
        held_size_ += got;
        held_crc_ = crc_;
      }
      size_ += got;
      if (got < READ_PIECE) break;
    }
    // A write while the file was read shows in its size or its times; a
    // file whose length is not what it said at the start (a file of /proc)
    // gives other bytes at every read.
    FileVersion after = in_.version();
    uint64_t said = (uint64_t)before.size;
    if (size_ < said || (uint64_t)after.size < said) changed("it became shorter");
    if (size_ > said || (uint64_t)after.size > said) changed("it grew");
    if (!(after == before)) changed("");
  }

  uint64_t size() const { return size_; }
  uint32_t checksum() const { return stored_checksum(crc_); }

  // Hands the contents to write in pieces of at most READ_PIECE bytes.
  template <class Write>
  void write_to(Write write) {
    for (uint64_t at = 0; at < held_size_; at += READ_PIECE) {
      write(held_.data() + at, (size_t)std::min<uint64_t>(held_size_ - at, READ_PIECE));
    }
    if (size_ == held_size_) return;
    in_.seek(held_size_);
    uint32_t crc = held_crc_;
    for (uint64_t left = size_ - held_size_; left > 0;) {
      size_t want = (size_t)std::min<uint64_t>(left, READ_PIECE);
      if (in_.read_full(spare(), want) != want) changed("it became shorter");
      crc = crc32_continue(crc, spare(), want);
      write(spare(), want);
      left -= want;
    }
    char extra;
    if (in_.read(&extra, 1) != 0) changed("it grew");
    if (crc != crc_) changed("");
  }

 private:
  [[noreturn]] void changed(const char* how) {
    throw PackError(std::string("file changed while packing") + (*how ? " (" : "") + how +
                    (*how ? ")" : "") + ": " + quoted_path(path_));
  }
  char* spare() {
    if (spare_.empty()) spare_.resize(READ_PIECE);
    return spare_.data();
  }

  fs::path path_;
  InputFile in_;
  std::vector<char>& held_;
  std::vector<char> spare_;
  uint64_t held_size_ = 0;
  uint64_t size_ = 0;
  uint32_t crc_ = 0;
  uint32_t held_crc_ = 0;  // of the held bytes alone
};

// One zstd frame written piece by piece to a sink, sealed (frame_seal.h).  The whole input is never
// handed over with ZSTD_e_end at once, so the library never learns its size
// and keeps the 2^27 window and the header without a content size.
class FrameCompressor {
 public:
  template <class Sink>
  FrameCompressor(const PayloadOptions& options, Sink sink) : sink_(sink) {
    cctx_ = ZSTD_createCCtx();
    if (cctx_ == nullptr) throw PackError("out of memory for the zstd compressor");
    set(ZSTD_c_compressionLevel, options.level);
    set(ZSTD_c_windowLog, (int)PAYLOAD_WINDOW_LOG);
    set(ZSTD_c_contentSizeFlag, 0);
    set(ZSTD_c_checksumFlag, 0);
    set(ZSTD_c_dictIDFlag, 0);
    // Always the multi-threaded mode, even with one worker: its frame does
    // not depend on the number of workers, while the single-threaded mode's
    // does differ.  So a folder packs to the same bytes on any machine.
    int workers = options.workers > 0 ? options.workers : default_workers();
    size_t result = ZSTD_CCtx_setParameter(cctx_, ZSTD_c_nbWorkers, workers);
    if (ZSTD_isError(result)) {
      throw PackError(std::string("the zstd library was built without worker threads: ") +
                      ZSTD_getErrorName(result));
    }
    if (options.long_distance) set(ZSTD_c_enableLongDistanceMatching, 1);
    out_.resize(ZSTD_CStreamOutSize());
  }
  ~FrameCompressor() { ZSTD_freeCCtx(cctx_); }
  FrameCompressor(const FrameCompressor&) = delete;
  FrameCompressor& operator=(const FrameCompressor&) = delete;

  void write(const char* data, size_t size) {
    ZSTD_inBuffer in = {data, size, 0};
    while (in.pos < in.size) run(&in, ZSTD_e_continue);
  }
  void write(const std::string& data) { write(data.data(), data.size()); }

  // Called after every step with the input bytes compressed so far.  The
  // workers take input a job at a time, so what was handed over says little
  // on its own; what they have compressed moves steadily.
  void on_progress(std::function<void(uint64_t)> progress) { progress_ = std::move(progress); }

  void finish() {
    ZSTD_inBuffer in = {nullptr, 0, 0};
    while (run(&in, ZSTD_e_end) != 0) {
    }
    if (!sealer_.complete()) throw PackError("internal error: zstd did not end its frame");
    std::string seal = seal_blocks(sealer_.crc());
    sink_(seal.data(), seal.size());
  }

 private:
  void set(ZSTD_cParameter parameter, int value) {
    size_t result = ZSTD_CCtx_setParameter(cctx_, parameter, value);
    if (ZSTD_isError(result)) {
      throw PackError(std::string("zstd refused a parameter: ") + ZSTD_getErrorName(result));
    }
  }
  size_t run(ZSTD_inBuffer* in, ZSTD_EndDirective mode) {
    stop_if_interrupted();
    ZSTD_outBuffer out = {out_.data(), out_.size(), 0};
    size_t remaining = ZSTD_compressStream2(cctx_, &out, in, mode);
    if (ZSTD_isError(remaining)) {
      throw PackError(std::string("zstd compression failed: ") + ZSTD_getErrorName(remaining));
    }
    if (out.pos > 0) {
      sealer_.feed(out_.data(), out.pos);
      sink_(out_.data(), out.pos);
    }
    if (progress_) progress_(ZSTD_getFrameProgression(cctx_).consumed);
    return remaining;
  }

  ZSTD_CCtx* cctx_ = nullptr;
  std::function<void(const char*, size_t)> sink_;
  std::vector<char> out_;
  FrameSealer sealer_;
  std::function<void(uint64_t)> progress_;
};

// Feeds every record and the end record into the compressor, streaming files.
void compress_records(const std::vector<PayloadRecord>& records, const PayloadOptions& options,
                      FrameCompressor& frame) {
  std::vector<char> held;
  const std::u16string* feeding = nullptr;
  if (options.progress) {
    // The headers are a small part of the stream: counted as contents, capped.
    uint64_t total = 0;
    for (const PayloadRecord& record : records) {
      std::error_code error;
      total += fs::file_size(record.source, error);
    }
    frame.on_progress([&options, &feeding, total](uint64_t consumed) {
      if (feeding != nullptr) options.progress(std::min(consumed, total), *feeding);
    });
  }
  for (const PayloadRecord& record : records) {
    feeding = &record.name;
    check_name(record.name);
    FileContents contents(record.source, &held);
    frame.write(record_header(record.name, contents.size(), contents.checksum()));
    contents.write_to([&frame](const char* data, size_t size) { frame.write(data, size); });
  }
  frame.write(std::string(2, '\0'));
  frame.finish();
}

std::string padding_and_trailer(uint64_t written) {
  std::string out;
  while ((written + out.size()) % PAYLOAD_ALIGNMENT != 0) out.push_back('\0');
  unsigned char trailer[PAYLOAD_TRAILER_SIZE];
  write_little_endian(trailer, written + out.size(), PAYLOAD_TRAILER_SIZE);
  return out.append(reinterpret_cast<const char*>(trailer), sizeof trailer);
}

// The UTF-16 name of one path component on this system.
std::u16string component_name(const fs::path& component) {
  const std::string bytes = component.u8string();
  std::u16string name;
  try {
    name = utf16_from_utf8(bytes);
  } catch (const PackError&) {
    throw PackError("file name is not valid UTF-8: " + quoted_path(component));
  }
  if (bytes.find('\\') != std::string::npos) {
    throw PackError("file name holds \"\\\", which is a separator in the payload: " +
                    quoted_path(component));
  }
  return name;
}

// The payload name of a path relative to the application folder.
std::u16string payload_name(const fs::path& relative) {
  std::u16string name;
  for (const fs::path& component : relative) {
    if (!name.empty()) name.push_back(u'\\');
    name += component_name(component);
  }
  if (name.size() > PAYLOAD_NAME_UNITS) throw name_too_long(name.size(), quoted_path(relative));
  return name;
}

enum class EntryKind { file, folder, dangling_link };

// What a directory entry holds, following a link to a file; refuses the
// rest but dangling links with a clear message.
EntryKind entry_kind(const fs::directory_entry& entry) {
  std::error_code error;
  fs::file_status link = entry.symlink_status(error);
  if (error) throw PackError("cannot read " + quoted_path(entry.path()) + ": " + error.message());
  if (fs::is_symlink(link)) {
    fs::file_status target = fs::status(entry.path(), error);
    if (error || !fs::exists(target)) return EntryKind::dangling_link;
    if (fs::is_directory(target)) {
      throw PackError("symbolic link to a folder is not supported: " + quoted_path(entry.path()));
    }
    if (!fs::is_regular_file(target)) {
      throw PackError("symbolic link to something that is not a regular file: " +
                      quoted_path(entry.path()));
    }
    return EntryKind::file;
  }
  if (fs::is_directory(link)) return EntryKind::folder;
  if (fs::is_regular_file(link)) return EntryKind::file;
  throw PackError("not a regular file: " + quoted_path(entry.path()));
}

// An excluded entry is not looked at: a dangling link or a folder that
// cannot be read stops nothing once a pattern names it.  Dangling links are
// gathered in dangling, so that one run names them all.
void collect_folder(const fs::path& root, const fs::path& relative, std::vector<PayloadRecord>* out,
                    std::vector<std::string>* dangling, const ExcludeFilter& leaves_out) {
  std::error_code error;
  fs::directory_iterator it(root / relative, error);
  if (error) throw PackError("cannot read folder " + quoted_path(root / relative) + ": " + error.message());
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    fs::path child = relative / it->path().filename();
    if (leaves_out && leaves_out(child.generic_u8string())) continue;
    EntryKind kind = entry_kind(*it);
    if (kind == EntryKind::file) {
      PayloadRecord record;
      record.name = payload_name(child);
      record.source = it->path();
      out->push_back(std::move(record));
    } else if (kind == EntryKind::folder) {
      collect_folder(root, child, out, dangling, leaves_out);
    } else {
      dangling->push_back(quoted_path(child));
    }
  }
  if (error) throw PackError("cannot read folder " + quoted_path(root / relative) + ": " + error.message());
}

}  // namespace

int default_workers() { return processor_count(); }

std::vector<PayloadRecord> collect_application(const fs::path& dir, const fs::path& main,
                                               const ExcludeFilter& leaves_out) {
  std::error_code error;
  if (!fs::exists(dir, error)) throw PackError("input folder not found: " + quoted_path(dir));
  if (!fs::is_directory(dir, error)) throw PackError("input is not a folder: " + quoted_path(dir));

  fs::path relative_main = main.lexically_normal();
  if (main.empty() || relative_main.is_absolute() || relative_main.has_root_name() ||
      relative_main.empty() || *relative_main.begin() == ".." || relative_main == ".") {
    throw PackError("main binary must be a path inside the input folder: " + quoted_path(main));
  }
  if (relative_main.filename().empty()) relative_main = relative_main.parent_path();

  if (leaves_out) {
    fs::path part;
    for (const fs::path& component : relative_main) {
      part /= component;
      if (leaves_out(part.generic_u8string())) {
        throw PackError("--exclude leaves out the main binary \"" + relative_main.generic_u8string() + "\"");
      }
    }
  }
  std::vector<PayloadRecord> files;
  std::vector<std::string> dangling;
  collect_folder(dir, fs::path(), &files, &dangling, leaves_out);
  if (!dangling.empty()) {
    // All of them in one line, sorted as the files are, at most a screenful.
    std::sort(dangling.begin(), dangling.end());
    const size_t shown = std::min<size_t>(dangling.size(), 20);
    std::string names;
    for (size_t i = 0; i < shown; ++i) names += (i == 0 ? "" : ", ") + dangling[i];
    if (shown < dangling.size()) names += " and " + std::to_string(dangling.size() - shown) + " more";
    const bool one = dangling.size() == 1;
    throw PackError(std::to_string(dangling.size()) + (one ? " dangling symbolic link" : " dangling symbolic links") +
                    " in " + quoted_path(dir) + ": " + names + (one ? "; pack what it points to, or --exclude it"
                                                                    : "; pack what they point to, or --exclude them"));
  }
  if (files.empty()) throw PackError("input folder holds no files: " + quoted_path(dir));

  fs::path main_path = dir / relative_main;
  const std::u16string main_name = payload_name(relative_main);
  auto found = std::find_if(files.begin(), files.end(),
                            [&](const PayloadRecord& r) { return r.name == main_name; });
  if (found == files.end()) {
    // Windows reads names without regard to case: "--main LUA.EXE" names
    // lua.exe when that is the one such file and a Windows program, which
    // only a Windows launcher starts.
    std::vector<std::vector<PayloadRecord>::iterator> alike;
    for (auto file = files.begin(); file != files.end(); ++file) {
      if (!case_collision({main_name, file->name}).first.empty()) alike.push_back(file);
    }
    char head[2] = {};
    const bool windows_program = alike.size() == 1 && InputFile(alike[0]->source).read_full(head, 2) == 2 &&
                                 std::memcmp(head, "MZ", 2) == 0;
    if (windows_program) found = alike[0];
  }
  if (found == files.end()) {
    if (fs::exists(main_path, error) && !fs::is_regular_file(main_path, error)) {
      throw PackError("main binary is not a regular file: " + quoted_path(main_path));
    }
    throw PackError("main binary not found in the input folder: " + quoted_path(main_path));
  }
  PayloadRecord main_record = std::move(*found);
  files.erase(found);
  std::sort(files.begin(), files.end(),
            [](const PayloadRecord& a, const PayloadRecord& b) { return a.name < b.name; });
  files.insert(files.begin(), std::move(main_record));
  return files;
}

void write_payload_file(const std::vector<PayloadRecord>& records, const PayloadOptions& options,
                        const fs::path& output) {
  TemporaryOutput temporary(output);
  uint64_t written = 0;
  auto sink = [&](const char* data, size_t size) {
    temporary.write(data, size);
    written += size;
  };
  sink(reinterpret_cast<const char*>(PAYLOAD_MAGIC), PAYLOAD_MAGIC_SIZE);
  {
    FrameCompressor compressor(options, sink);
    compress_records(records, options, compressor);
  }
  std::string tail = padding_and_trailer(written);
  sink(tail.data(), tail.size());
  temporary.commit();
}

}  // namespace zovari
