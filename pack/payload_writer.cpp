// Payload writer: collects an application folder, writes the payload stream
// and compresses it into one zstd frame with the header the launcher expects
// (descriptor 0x00, window 0x88), framed as the launcher expects.
#include "pack/payload_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <system_error>

#include "pack/cleanup.h"
#include "pack/frame_seal.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

const size_t READ_PIECE = 1 << 20;

// A path for a message: in quotes, on one line, with bytes that are not
// UTF-8 text and control characters written as \xNN.
std::string quoted(const fs::path& path) {
  const std::string text = path.string();
  bool valid = true;
  try {
    utf16_from_utf8(text);
  } catch (const PackError&) {
    valid = false;
  }
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || (!valid && c >= 0x80)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", c);
      out += escape;
    } else {
      out.push_back((char)c);
    }
  }
  return out + "\"";
}

void put_u64(std::string& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back((char)((value >> (8 * i)) & 0xFF));
}

void put_u32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back((char)((value >> (8 * i)) & 0xFF));
}

// The bytes of a record's name, its terminating unit, size and checksum.
std::string record_header(const std::u16string& name, uint64_t size, uint32_t checksum) {
  std::string out;
  for (char16_t unit : name) {
    out.push_back((char)(unit & 0xFF));
    out.push_back((char)(unit >> 8));
  }
  out.append(2, '\0');
  put_u64(out, size);
  put_u32(out, checksum);
  return out;
}

void check_name(const std::u16string& name) {
  if (name.empty()) throw PackError("a payload record has an empty name");
  if (name.find(u'\0') != std::u16string::npos) {
    throw PackError("name holds a NUL character: " + utf8_from_utf16(name));
  }
  if (name.size() > PAYLOAD_NAME_UNITS) {
    throw PackError("name longer than 1023 UTF-16 units (" + std::to_string(name.size()) +
                    "): " + utf8_from_utf16(name));
  }
}

uint32_t crc_update(uint32_t crc, const char* data, size_t size) {
  while (size > 0) {
    uInt piece = (uInt)std::min<size_t>(size, 1u << 30);
    crc = (uint32_t)crc32(crc, (const Bytef*)data, piece);
    data += piece;
    size -= piece;
  }
  return crc;
}

uint32_t stored_checksum(uint32_t crc) { return crc == 0 ? 1 : crc; }

// A file read in pieces, every read error reported (a stream would take a
// failing read for the end of the file).
class InputFile {
 public:
  explicit InputFile(const fs::path& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      throw PackError("cannot read " + quoted(path) + ": " + std::strerror(errno) +
                      (errno == ENOENT ? " (it vanished while packing)" : ""));
    }
  }
  ~InputFile() { ::close(fd_); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Up to size bytes; 0 at the end of the file.
  size_t read(char* data, size_t size) {
    for (;;) {
      ssize_t got = ::read(fd_, data, size);
      if (got >= 0) return (size_t)got;
      if (errno != EINTR) throw PackError("cannot read " + quoted(path_) + ": " + std::strerror(errno));
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
  int fd_ = -1;
};

// The file's size and checksum, read in pieces.
void measure_file(const fs::path& path, uint64_t* size, uint32_t* checksum) {
  InputFile in(path);
  std::vector<char> buffer(READ_PIECE);
  uint32_t crc = 0;
  uint64_t total = 0;
  for (;;) {
    size_t got = in.read(buffer.data(), buffer.size());
    if (got == 0) break;
    crc = crc_update(crc, buffer.data(), got);
    total += got;
  }
  *size = total;
  *checksum = stored_checksum(crc);
}

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
    if (options.workers > 0) {
      // Without threads in the library this fails; one thread then does it all.
      if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx_, ZSTD_c_nbWorkers, options.workers))) {
        ZSTD_CCtx_setParameter(cctx_, ZSTD_c_nbWorkers, 0);
      }
    }
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
    ZSTD_outBuffer out = {out_.data(), out_.size(), 0};
    size_t remaining = ZSTD_compressStream2(cctx_, &out, in, mode);
    if (ZSTD_isError(remaining)) {
      throw PackError(std::string("zstd compression failed: ") + ZSTD_getErrorName(remaining));
    }
    if (out.pos > 0) {
      sealer_.feed(out_.data(), out.pos);
      sink_(out_.data(), out.pos);
    }
    return remaining;
  }

  ZSTD_CCtx* cctx_ = nullptr;
  std::function<void(const char*, size_t)> sink_;
  std::vector<char> out_;
  FrameSealer sealer_;
};

// Feeds every record and the end record into the compressor, streaming files.
void compress_records(const std::vector<PayloadRecord>& records, const PayloadOptions& options,
                      FrameCompressor& frame) {
  std::vector<char> buffer;
  uint64_t done = 0;
  for (const PayloadRecord& record : records) {
    check_name(record.name);
    if (!record.from_file) {
      frame.write(record_header(record.name, record.contents.size(),
                                record_checksum(record.contents.data(), record.contents.size())));
      frame.write(record.contents);
      done += record.contents.size();
      if (options.progress) options.progress(done, record.name);
      continue;
    }
    uint64_t size = 0;
    uint32_t checksum = 0;
    measure_file(record.source, &size, &checksum);
    frame.write(record_header(record.name, size, checksum));

    InputFile in(record.source);
    buffer.resize(READ_PIECE);
    uint64_t left = size;
    uint32_t crc = 0;
    while (left > 0) {
      size_t want = (size_t)std::min<uint64_t>(left, buffer.size());
      if (in.read_full(buffer.data(), want) != want) {
        throw PackError("file changed while packing (it became shorter): " + quoted(record.source));
      }
      crc = crc_update(crc, buffer.data(), want);
      frame.write(buffer.data(), want);
      left -= want;
      done += want;
      if (options.progress) options.progress(done, record.name);
    }
    char extra;
    if (in.read(&extra, 1) != 0) {
      throw PackError("file changed while packing (it grew): " + quoted(record.source));
    }
    if (stored_checksum(crc) != checksum) {
      throw PackError("file changed while packing: " + quoted(record.source));
    }
  }
  frame.write(std::string(2, '\0'));
  frame.finish();
}

std::string padding_and_trailer(uint64_t written) {
  std::string out;
  while ((written + out.size()) % PAYLOAD_ALIGNMENT != 0) out.push_back('\0');
  put_u64(out, written + out.size());
  return out;
}

// The UTF-16 name of one path component on this system.
std::u16string component_name(const fs::path& component) {
#ifdef _WIN32
  std::wstring wide = component.wstring();
  return std::u16string(wide.begin(), wide.end());
#else
  const std::string bytes = component.string();
  std::u16string name;
  try {
    name = utf16_from_utf8(bytes);
  } catch (const PackError&) {
    throw PackError("file name is not valid UTF-8: " + quoted(component));
  }
  if (bytes.find('\\') != std::string::npos) {
    throw PackError("file name holds \"\\\", which is a separator in the payload: " +
                    quoted(component));
  }
  return name;
#endif
}

// The payload name of a path relative to the application folder.
std::u16string payload_name(const fs::path& relative) {
  std::u16string name;
  for (const fs::path& component : relative) {
    if (!name.empty()) name.push_back(u'\\');
    name += component_name(component);
  }
  if (name.size() > PAYLOAD_NAME_UNITS) {
    throw PackError("name longer than 1023 UTF-16 units (" + std::to_string(name.size()) +
                    "): " + quoted(relative));
  }
  return name;
}

// What a directory entry holds, following a link to a file; refuses the
// rest with a clear message.
bool is_packable_file(const fs::directory_entry& entry, bool* is_directory) {
  std::error_code error;
  *is_directory = false;
  fs::file_status link = entry.symlink_status(error);
  if (error) throw PackError("cannot read " + quoted(entry.path()) + ": " + error.message());
  if (fs::is_symlink(link)) {
    fs::file_status target = fs::status(entry.path(), error);
    if (error || !fs::exists(target)) {
      throw PackError("dangling symbolic link: " + quoted(entry.path()));
    }
    if (fs::is_directory(target)) {
      throw PackError("symbolic link to a folder is not supported: " + quoted(entry.path()));
    }
    if (!fs::is_regular_file(target)) {
      throw PackError("symbolic link to something that is not a regular file: " +
                      quoted(entry.path()));
    }
    return true;
  }
  if (fs::is_directory(link)) {
    *is_directory = true;
    return false;
  }
  if (fs::is_regular_file(link)) return true;
  throw PackError("not a regular file: " + quoted(entry.path()));
}

void collect_folder(const fs::path& root, const fs::path& relative,
                    std::vector<PayloadRecord>* out) {
  std::error_code error;
  fs::directory_iterator it(root / relative, error);
  if (error) throw PackError("cannot read folder " + quoted(root / relative) + ": " + error.message());
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) break;
    bool is_directory = false;
    fs::path child = relative / it->path().filename();
    if (is_packable_file(*it, &is_directory)) {
      PayloadRecord record;
      record.name = payload_name(child);
      record.source = it->path();
      record.from_file = true;
      out->push_back(std::move(record));
    } else if (is_directory) {
      collect_folder(root, child, out);
    }
  }
  if (error) throw PackError("cannot read folder " + quoted(root / relative) + ": " + error.message());
}

}  // namespace

uint32_t record_checksum(const void* data, size_t size) {
  return stored_checksum(crc_update(0, (const char*)data, size));
}

std::u16string utf16_from_utf8(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    unsigned char c = (unsigned char)text[i];
    uint32_t code = 0;
    int extra = 0;
    if (c < 0x80) {
      code = c;
    } else if (c >= 0xC2 && c <= 0xDF) {
      code = c & 0x1F;
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      code = c & 0x0F;
      extra = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
      code = c & 0x07;
      extra = 3;
    } else {
      throw PackError("text is not valid UTF-8");
    }
    for (int k = 1; k <= extra; ++k) {
      if (i + (size_t)k >= n) throw PackError("text is not valid UTF-8");
      unsigned char d = (unsigned char)text[i + (size_t)k];
      if ((d & 0xC0) != 0x80) throw PackError("text is not valid UTF-8");
      code = (code << 6) | (d & 0x3F);
    }
    if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      throw PackError("text is not valid UTF-8");
    }
    i += (size_t)extra + 1;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back((char16_t)(0xD800 + (code >> 10)));
      out.push_back((char16_t)(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back((char16_t)code);
    }
  }
  return out;
}

std::string utf8_from_utf16(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
        throw PackError("text is not valid UTF-16");
      }
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      throw PackError("text is not valid UTF-16");
    }
    if (code < 0x80) {
      out.push_back((char)code);
    } else if (code < 0x800) {
      out.push_back((char)(0xC0 | (code >> 6)));
      out.push_back((char)(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back((char)(0xE0 | (code >> 12)));
      out.push_back((char)(0x80 | ((code >> 6) & 0x3F)));
      out.push_back((char)(0x80 | (code & 0x3F)));
    } else {
      out.push_back((char)(0xF0 | (code >> 18)));
      out.push_back((char)(0x80 | ((code >> 12) & 0x3F)));
      out.push_back((char)(0x80 | ((code >> 6) & 0x3F)));
      out.push_back((char)(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

std::vector<PayloadRecord> collect_application(const fs::path& dir, const fs::path& main) {
  std::error_code error;
  if (!fs::exists(dir, error)) throw PackError("input folder not found: " + quoted(dir));
  if (!fs::is_directory(dir, error)) throw PackError("input is not a folder: " + quoted(dir));

  fs::path relative_main = main.lexically_normal();
  if (main.empty() || relative_main.is_absolute() || relative_main.has_root_name() ||
      relative_main.empty() || *relative_main.begin() == ".." || relative_main == ".") {
    throw PackError("main binary must be a path inside the input folder: " + quoted(main));
  }
  if (relative_main.filename().empty()) relative_main = relative_main.parent_path();

  std::vector<PayloadRecord> files;
  collect_folder(dir, fs::path(), &files);
  if (files.empty()) throw PackError("input folder holds no files: " + quoted(dir));

  fs::path main_path = dir / relative_main;
  if (!fs::exists(main_path, error)) {
    throw PackError("main binary not found in the input folder: " + quoted(main_path));
  }
  if (!fs::is_regular_file(main_path, error)) {
    throw PackError("main binary is not a regular file: " + quoted(main_path));
  }
  const std::u16string main_name = payload_name(relative_main);
  auto found = std::find_if(files.begin(), files.end(),
                            [&](const PayloadRecord& r) { return r.name == main_name; });
  if (found == files.end()) {
    throw PackError("main binary not found in the input folder: " + quoted(main_path));
  }
  PayloadRecord main_record = std::move(*found);
  files.erase(found);
  std::sort(files.begin(), files.end(),
            [](const PayloadRecord& a, const PayloadRecord& b) { return a.name < b.name; });
  files.insert(files.begin(), std::move(main_record));
  return files;
}

std::string build_payload_stream(const std::vector<PayloadRecord>& records) {
  std::string out;
  for (const PayloadRecord& record : records) {
    check_name(record.name);
    std::string contents = record.contents;
    if (record.from_file) {
      InputFile in(record.source);
      contents.clear();
      char piece[65536];
      while (size_t got = in.read(piece, sizeof piece)) contents.append(piece, got);
    }
    out += record_header(record.name, contents.size(),
                         record_checksum(contents.data(), contents.size()));
    out += contents;
  }
  out.append(2, '\0');
  return out;
}

std::string build_payload(const std::vector<PayloadRecord>& records, const PayloadOptions& options) {
  std::string frame;
  {
    FrameCompressor compressor(options, [&](const char* data, size_t size) { frame.append(data, size); });
    compress_records(records, options, compressor);
  }
  return frame_payload(frame);
}

std::string frame_payload(const std::string& compressed_frame) {
  std::string out(reinterpret_cast<const char*>(PAYLOAD_MAGIC), PAYLOAD_MAGIC_SIZE);
  out += compressed_frame;
  out += padding_and_trailer(out.size());
  return out;
}

TemporaryOutput::TemporaryOutput(const fs::path& output) : output_(output) {
  std::random_device random;
  std::uniform_int_distribution<unsigned long> digits(0, 0xFFFFFFFFul);
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08lx.tmp", digits(random));
    path_ = output;
    path_ += suffix;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) {
      throw PackError("cannot create " + quoted(path_) + ": " + std::strerror(errno));
    }
  }
  if (fd_ < 0) throw PackError("cannot choose a temporary file name beside " + quoted(output));
  mark_ = remember_temporary(path_.string(), false);
}

TemporaryOutput::~TemporaryOutput() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(path_.c_str());
  forget_temporary(mark_);
}

void TemporaryOutput::write(const char* data, size_t size) {
  while (size > 0) {
    ssize_t done = ::write(fd_, data, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) throw PackError("cannot write " + quoted(path_) + ": " + std::strerror(errno));
    data += done;
    size -= (size_t)done;
  }
}

void TemporaryOutput::set_mode(unsigned mode) {
  if (::fchmod(fd_, (mode_t)mode) != 0) {
    throw PackError("cannot set the permissions of " + quoted(path_) + ": " + std::strerror(errno));
  }
}

void TemporaryOutput::commit() {
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw PackError("cannot write " + quoted(path_) + ": " + std::strerror(errno));
  std::error_code error;
  fs::rename(path_, output_, error);
  if (error) throw PackError("cannot write " + quoted(output_) + ": " + error.message());
  committed_ = true;
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
