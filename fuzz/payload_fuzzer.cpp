// The payload stream walk: payload_reader_init and unpack_files writing into
// a real temporary folder, checked against a model of the format.
//
// Input: byte 0 holds flags, byte 1 a parameter, the rest is either
//   - a payload stream (flag bit 0 clear), whose names the harness makes
//     safe in place and which it compresses into one frame itself, or
//   - the frame (bit 0 set), taken as it is; inputs whose stream holds an
//     unsafe name are refused.
// Bits 1-2 pick a compression level, bits 3-4 damage the frame (cut its end,
// or change one byte, at the parameter), bit 5 runs a second start over the
// tree the first one left, bit 6 has the harness store each record's right
// checksum in a stream it compresses.
//
// The launcher does not check names (its payload is built in), so the
// harness keeps them inside the folder: no "/", ":", leading or doubled or
// trailing "\", and no "." or ".." component.
//
// The model decodes the frame itself and walks the records, knowing what the
// tree holds, and so predicts how the start ends: returning after the end
// record (then the tree must be exactly the model's), exit 2 (a decode
// failure, or a file that cannot be opened or written), or abort (a name
// over 1023 units).  Anything else, a sanitizer report, a hang, or a file
// outside the target directory, is a finding.
//
// Every input leaves the process as it found it.  A designed end skips the
// closes that the end of a real process makes, so the descriptors a start
// left open (the file being written, the directory lock) are closed after
// it, which also drops the lock; a start that returns must leave none.  The
// count of open descriptors may never grow from one input to the next.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include <zlib.h>
#include <zstd.h>

#include "guard.h"
#include "platform/platform.h"
#include "payload/directories_for_tests.h"
#include "payload/format.h"
#include "payload/reader.h"
#include "payload/unpack.h"
#include "payload/unpack_for_tests.h"

static const size_t WINDOW = 0x20000;
// The most decoded bytes an input may ask for; larger ones are refused, so
// that a tiny frame cannot make the fuzzer write gigabytes.
static const size_t DECODE_LIMIT = 4u << 20;
static const size_t NAME_UNITS = 1023;

static std::string Base;  // the fuzzer's own temporary folder
static unsigned long RunNumber;
// Open descriptors after the first input and after the latest one.
static size_t FirstDescriptorCount, LastDescriptorCount;

// ---------------------------------------------------------------- names

static bool name_is_safe(const std::vector<uint16_t>& name) {
  if (name.empty()) return true;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && (name[i] == u'/' || name[i] == u':')) return false;
    if (i == name.size() || name[i] == u'\\') {
      size_t length = i - start;
      if (length == 0) return false;
      if (length <= 2 && name[start] == u'.' && (length == 1 || name[start + 1] == u'.')) {
        return false;
      }
      start = i + 1;
    }
  }
  return true;
}

// Makes a name safe without changing its length.
static void make_name_safe(uint16_t* name, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (name[i] == u'/' || name[i] == u':') name[i] = u'_';
    bool at_edge = i == 0 || i + 1 == length;
    if (name[i] == u'\\' && (at_edge || name[i - 1] == u'\\')) name[i] = u'_';
  }
  size_t start = 0;
  for (size_t i = 0; i <= length; ++i) {
    if (i == length || name[i] == u'\\') {
      size_t part = i - start;
      if (part >= 1 && part <= 2 && name[start] == u'.' && (part == 1 || name[start + 1] == u'.')) {
        name[start] = u'_';
      }
      start = i + 1;
    }
  }
}

static uint16_t unit_at(const uint8_t* bytes) {
  return (uint16_t)(bytes[0] | bytes[1] << 8);
}

static uint64_t u64_at(const uint8_t* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// Walks a raw payload stream and makes each of its names safe in place; with
// right_checksums, also stores each record's right checksum, so that a start
// goes past records whose data the fuzzer changed.
static void make_stream_safe(uint8_t* stream, size_t size, bool right_checksums) {
  size_t at = 0;
  while (at + 2 <= size) {
    size_t start = at;
    while (at + 2 <= size && unit_at(stream + at) != 0) at += 2;
    size_t units = (at - start) / 2;
    if (units > NAME_UNITS) return;  // the launcher aborts on it anyway
    std::vector<uint16_t> name(units);
    for (size_t i = 0; i < units; ++i) name[i] = unit_at(stream + start + 2 * i);
    make_name_safe(name.data(), units);
    for (size_t i = 0; i < units; ++i) {
      stream[start + 2 * i] = (uint8_t)name[i];
      stream[start + 2 * i + 1] = (uint8_t)(name[i] >> 8);
    }
    if (at + 2 > size || units == 0) return;
    at += 2;
    if (at + 12 > size) return;
    uint64_t data = u64_at(stream + at);
    at += 12;
    if (data > size - at) return;
    if (right_checksums) {
      uint32_t crc = (uint32_t)crc32(0, stream + at, (uInt)data);
      if (crc == 0) crc = 1;
      for (int i = 0; i < 4; ++i) stream[at - 4 + i] = (uint8_t)(crc >> (8 * i));
    }
    at += (size_t)data;
  }
}

// ---------------------------------------------------------------- the model's decoder

// Decodes the container's frame on demand, refilling a window of the reader's
// size whenever it is used up: it fails only when the decompressor reports
// an error, or has used up its input and the last refill left it nothing
// more to give.
struct model_decoder {
  ZSTD_DCtx* context;
  ZSTD_inBuffer input;
  std::vector<uint8_t> window;
  size_t fill, read;
  bool last_full;
  size_t decoded;
  bool over_limit;
  bool ended;  // the frame's end has been decoded

  bool refill() {
    if (input.pos >= input.size && !last_full) return false;
    if (decoded > DECODE_LIMIT) {
      over_limit = true;
      return false;
    }
    ZSTD_outBuffer output = {window.data(), WINDOW, 0};
    size_t result = ZSTD_decompressStream(context, &output, &input);
    if (ZSTD_isError(result)) return false;
    fill = output.pos;
    read = 0;
    last_full = output.pos == WINDOW;
    decoded += output.pos;
    ended = ended || result == 0;
    return true;
  }

  // Decodes on to the frame's end, dropping what it gives.
  bool finish() {
    while (!ended) {
      if (!refill()) return false;
    }
    return true;
  }

  bool take(uint8_t* out, size_t count) {
    while (count > 0) {
      if (read == fill) {
        if (!refill()) return false;
        continue;
      }
      size_t part = fill - read < count ? fill - read : count;
      if (out != nullptr) {
        memcpy(out, window.data() + read, part);
        out += part;
      }
      read += part;
      count -= part;
    }
    return true;
  }
};

// ---------------------------------------------------------------- the model

enum outcome { ENDS_RETURN, ENDS_EXIT2, ENDS_ABORT, ENDS_REFUSED };

struct tree_model {
  std::map<std::string, std::string> files;  // relative path (UTF-8) -> contents
  std::set<std::string> directories;
};

static uint32_t checksum_of(const std::string& contents) {
  if (contents.empty()) return 0;
  uint32_t crc = (uint32_t)crc32(0, (const Bytef*)contents.data(), (uInt)contents.size());
  return crc == 0 ? 1 : crc;
}

// The name as the POSIX layer spells it on disk: "\" becomes "/", UTF-16
// pairs become one code point, and each code point goes out as UTF-8 (a
// lone surrogate as the three bytes its value would take).
static std::string disk_name(const std::vector<uint16_t>& name, std::vector<size_t>* parts) {
  std::string out;
  size_t part = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    uint32_t code = name[i];
    if (code == u'\\') {
      parts->push_back(part);
      part = 0;
      out.push_back('/');
      continue;
    }
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
        name[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    }
    size_t before = out.size();
    if (code < 0x80) {
      out.push_back((char)code);
    } else if (code < 0x800) {
      out.push_back((char)(0xC0 | code >> 6));
      out.push_back((char)(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back((char)(0xE0 | code >> 12));
      out.push_back((char)(0x80 | ((code >> 6) & 0x3F)));
      out.push_back((char)(0x80 | (code & 0x3F)));
    } else {
      out.push_back((char)(0xF0 | code >> 18));
      out.push_back((char)(0x80 | ((code >> 12) & 0x3F)));
      out.push_back((char)(0x80 | ((code >> 6) & 0x3F)));
      out.push_back((char)(0x80 | (code & 0x3F)));
    }
    part += out.size() - before;
  }
  parts->push_back(part);
  return out;
}

// Whether writing the file at path can succeed on this tree: no file where a
// directory must be, no directory at the path, names the system takes.
static bool can_write(const tree_model& tree, const std::string& path,
                      const std::vector<size_t>& parts, size_t directory_length) {
  for (size_t part : parts) {
    if (part > 255) return false;
  }
  if (directory_length + 1 + path.size() >= 4096) return false;
  if (tree.directories.count(path) != 0) return false;
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (tree.files.count(path.substr(0, slash)) != 0) return false;
  }
  return true;
}

// Whether the frame, which ends at end, holds to its seal (payload/format.h),
// by zlib's CRC-32; a frame without one has none to hold to.
static bool seal_holds(const uint8_t* frame, size_t end) {
  uint32_t sealed;
  if (end < PAYLOAD_SEAL_SIZE || !read_frame_seal(frame + end - PAYLOAD_SEAL_SIZE, &sealed)) return true;
  return (uint32_t)crc32(0, frame, (uInt)(end - PAYLOAD_SEAL_SIZE)) == sealed;
}

// One start of the launcher over the tree, as the format says it goes.
static outcome walk_model(const std::string& container, tree_model* tree,
                          size_t directory_length) {
  // One context and window serve every walk: making them anew costs more
  // than most inputs' decoding.
  static model_decoder decoder = {ZSTD_createDCtx(), {}, std::vector<uint8_t>(WINDOW), 0, 0,
                                  false, 0, false, false};
  ZSTD_DCtx_reset(decoder.context, ZSTD_reset_session_only);
  decoder.input = {container.data() + 3, container.size() - 3, 0};
  decoder.fill = decoder.read = 0;
  decoder.last_full = false;
  decoder.decoded = 0;
  decoder.over_limit = false;
  decoder.ended = false;
  outcome result = ENDS_EXIT2;
  for (;;) {
    std::vector<uint16_t> name;
    uint8_t unit[2];
    bool ok = true;
    for (;;) {
      if (!(ok = decoder.take(unit, 2))) break;
      if (unit_at(unit) == 0) break;
      name.push_back(unit_at(unit));
      if (name.size() > NAME_UNITS) break;
    }
    if (!ok) break;
    if (name.size() > NAME_UNITS) {
      result = ENDS_ABORT;
      break;
    }
    if (name.empty()) {
      if (decoder.finish() && seal_holds((const uint8_t*)container.data() + 3, decoder.input.pos)) {
        result = ENDS_RETURN;
      }
      break;
    }
    if (!name_is_safe(name)) {
      result = ENDS_REFUSED;
      break;
    }
    std::vector<size_t> parts;
    std::string path = disk_name(name, &parts);
    uint8_t numbers[12];
    if (!decoder.take(numbers, 12)) break;
    uint64_t size = u64_at(numbers);
    uint32_t stored = (uint32_t)(numbers[8] | numbers[9] << 8 | numbers[10] << 16 |
                                 (uint32_t)numbers[11] << 24);
    // No record stores 0, and an empty one stores 1: anything else ends the start.
    if (stored == 0 || (size == 0 && stored != 1)) break;
    auto existing = tree->files.find(path);
    uint32_t on_disk = existing != tree->files.end() ? checksum_of(existing->second) : 0;
    // An empty record is held by an empty file, whatever it stores.
    bool current = size == 0 ? existing != tree->files.end() && existing->second.empty()
                             : stored == on_disk;
    if (current) {
      if (size > DECODE_LIMIT || !decoder.take(nullptr, (size_t)size)) {
        if (size > DECODE_LIMIT) decoder.over_limit = true;
        break;
      }
      continue;
    }
    if (!can_write(*tree, path, parts, directory_length)) break;
    if (size > DECODE_LIMIT) {
      decoder.over_limit = true;
      break;
    }
    std::string contents((size_t)size, '\0');
    if (!decoder.take((uint8_t*)&contents[0], (size_t)size)) break;
    tree->files[path] = contents;
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      tree->directories.insert(path.substr(0, slash));
    }
    // A file whose contents do not give its stored checksum is written, then
    // ends the start.
    uint32_t written = (uint32_t)crc32(0, (const Bytef*)contents.data(), (uInt)contents.size());
    if ((written == 0 ? 1 : written) != stored) break;
  }
  if (decoder.over_limit) result = ENDS_REFUSED;
  return result;
}

// ---------------------------------------------------------------- the disk

// Deletes what it can under path; false when something stays.  Whatever
// stays is the harness's failure to clean up, not the launcher's: it ends
// the run with a "HARNESS:" line and status 3, which is no finding.
static bool remove_tree(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return errno == ENOENT;
  if (!S_ISDIR(status.st_mode)) return unlink(path.c_str()) == 0;
  bool removed = true;
  DIR* directory = opendir(path.c_str());
  if (directory != nullptr) {
    while (struct dirent* entry = readdir(directory)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") removed = remove_tree(path + "/" + name) && removed;
    }
    closedir(directory);
  }
  return rmdir(path.c_str()) == 0 && removed;
}

[[noreturn]] static void harness_error(const char* what, const std::string& path) {
  fprintf(stderr, "HARNESS: %s %s (%s)\n", what, path.c_str(), strerror(errno));
  fflush(stderr);
  _exit(3);
}

static std::vector<std::string> list_directory(const std::string& path) {
  std::vector<std::string> names;
  DIR* directory = opendir(path.c_str());
  if (directory == nullptr) return names;
  while (struct dirent* entry = readdir(directory)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(directory);
  return names;
}

static bool read_file(const std::string& path, std::string* contents) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  contents->clear();
  char buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) contents->append(buffer, (size_t)got);
  close(fd);
  return got == 0;
}

// Every regular file under root must be one of the model's, with its
// contents, and every file of the model must be there.  relative is "" or a
// path below root that ends in "/".
static void check_tree(const std::string& root, const std::string& relative,
                       const tree_model& tree, size_t* seen) {
  for (const std::string& name : list_directory(root + "/" + relative)) {
    std::string key = relative + name;
    std::string path = root + "/" + key;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) fuzz_finding("cannot stat %s", key.c_str());
    if (S_ISDIR(status.st_mode)) {
      check_tree(root, key + "/", tree, seen);
      continue;
    }
    auto expected = tree.files.find(key);
    if (!S_ISREG(status.st_mode) || expected == tree.files.end()) {
      fuzz_finding("unexpected entry %s in the tree", key.c_str());
    }
    std::string contents;
    if (!read_file(path, &contents) || contents != expected->second) {
      fuzz_finding("file %s holds other contents than its record", key.c_str());
    }
    ++*seen;
  }
}

// ---------------------------------------------------------------- descriptors

// The descriptors open in this process, the listing's own left out.
static std::vector<int> open_descriptors(void) {
  std::vector<int> found;
  DIR* directory = opendir("/proc/self/fd");
  if (directory == nullptr) harness_error("cannot list", "/proc/self/fd");
  int own = dirfd(directory);
  while (struct dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    int fd = atoi(entry->d_name);
    if (fd != own) found.push_back(fd);
  }
  closedir(directory);
  return found;
}

// Closes what a start opened and left open: after a designed end that is
// what its process's end would have closed, after a return it is a leak.
static void close_what_the_start_left(const std::vector<int>& before, bool designed_end) {
  std::set<int> known(before.begin(), before.end());
  for (int fd : open_descriptors()) {
    if (known.count(fd) != 0) continue;
    if (!designed_end) fuzz_finding("the start returned with descriptor %d still open", fd);
    close(fd);
  }
}

// ---------------------------------------------------------------- the launcher

struct unpack_call {
  const std::string* container;
  const wchar_t* directory;
};

static void run_unpack(void* context) {
  unpack_call* call = (unpack_call*)context;
  payload_reader_init(call->container->data() + 3, call->container->size() - 3);
  unpack_files(call->directory);
  payload_reader_finish();
}

static const char* outcome_name(outcome value) {
  switch (value) {
    case ENDS_RETURN: return "return";
    case ENDS_EXIT2: return "exit 2";
    case ENDS_ABORT: return "abort";
    default: return "refused";
  }
}

static void start_launcher(const std::string& container, const std::string& target,
                           outcome expected) {
  std::wstring directory(target.begin(), target.end());
  unpack_call call = {&container, directory.c_str()};
  std::vector<int> before = open_descriptors();
  // Each start begins as a new process would: no folders known from earlier
  // inputs (a table full of those would hide the remembering path and make
  // every lookup scan it), and the first record again the main binary.
  forget_known_directories();
  forget_unpack_state();
  guarded_result result = run_guarded(run_unpack, &call);
  // A designed end leaves the reader set up, and any end the folders below
  // the target held for the child; release them as the launcher's end would
  // have.
  payload_reader_close();
  platform_leave_folders();
  platform_forget_made_folders();
  close_what_the_start_left(before, result.end != GUARDED_RETURNED);
  outcome actual = result.end == GUARDED_RETURNED ? ENDS_RETURN
                   : result.end == GUARDED_ABORTED ? ENDS_ABORT
                   : result.status == 2            ? ENDS_EXIT2
                                                   : ENDS_REFUSED;
  if (actual != expected) {
    fuzz_finding("the start ended by %s (status %d), the model says %s", outcome_name(actual),
                 result.status, outcome_name(expected));
  }
}

static std::string frame_container(const std::string& frame) {
  std::string container = "QDY" + frame;
  while (container.size() % 8 != 0) container.push_back('\0');
  uint64_t trailer = container.size();
  for (int i = 0; i < 8; ++i) container.push_back((char)(trailer >> (8 * i)));
  return container;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* temporary = getenv("TMPDIR");
  std::string pattern = std::string(temporary != nullptr && temporary[0] == '/' ? temporary : "/tmp") +
                        "/zovari-payload-fuzz-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) abort();
  Base = pattern;
  // The known-directory table is seeded with the profile folder.
  setenv("HOME", Base.c_str(), 1);
  // The launcher's plain messages would flood the fuzzer's output.
  int null_device = open("/dev/null", O_WRONLY);
  if (null_device >= 0) dup2(null_device, 1);
  atexit([] {
    if (FirstDescriptorCount != 0) {
      fprintf(stderr, "descriptors: %zu after the first input, %zu after input %lu\n",
              FirstDescriptorCount, LastDescriptorCount, RunNumber);
    }
    if (!remove_tree(Base)) fprintf(stderr, "HARNESS: cannot remove %s\n", Base.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint8_t flags = data[0], parameter = data[1];
  std::string body((const char*)data + 2, size - 2);
  std::string frame;
  if ((flags & 1) == 0) {
    make_stream_safe((uint8_t*)&body[0], body.size(), (flags & 0x40) != 0);
    static const int levels[4] = {1, 3, -5, 19};
    frame.resize(ZSTD_compressBound(body.size()));
    size_t written = ZSTD_compress(&frame[0], frame.size(), body.data(), body.size(),
                                   levels[(flags >> 1) & 3]);
    if (ZSTD_isError(written)) return 0;
    frame.resize(written);
  } else {
    frame = body;
  }
  switch ((flags >> 3) & 3) {
    case 1:
      frame.resize(frame.size() - frame.size() * parameter / 256 / 4);
      break;
    case 2:
      if (!frame.empty()) frame[parameter * 7 % frame.size()] ^= (char)(1 + (parameter >> 3));
      break;
    default:
      break;
  }
  std::string container = frame_container(frame);

  // Each run gets a target folder of its own, so that no directory the
  // launcher remembers from an earlier run can stand for one that is gone.
  // The launcher makes it, as it makes any missing level.
  std::string target = Base + "/t" + std::to_string(++RunNumber);

  tree_model tree;
  int starts = (flags & 0x20) ? 2 : 1;
  for (int start = 0; start < starts; ++start) {
    outcome expected = walk_model(container, &tree, target.size());
    if (expected == ENDS_REFUSED) break;
    start_launcher(container, target, expected);
    // Nothing may appear beside the target directory (which a start that
    // ends early may not have made).
    for (const std::string& name : list_directory(Base)) {
      if (name != target.substr(Base.size() + 1)) {
        fuzz_finding("the start wrote %s outside its folder", name.c_str());
      }
    }
    if (expected != ENDS_RETURN) break;
    size_t seen = 0;
    check_tree(target, "", tree, &seen);
    if (seen != tree.files.size()) {
      fuzz_finding("%zu files on disk, %zu in the model", seen, tree.files.size());
    }
  }
  if (!remove_tree(target)) harness_error("cannot remove", target);
  LastDescriptorCount = open_descriptors().size();
  if (FirstDescriptorCount == 0) FirstDescriptorCount = LastDescriptorCount;
  if (LastDescriptorCount > FirstDescriptorCount) {
    fuzz_finding("%zu descriptors open after this input, %zu after the first",
                 LastDescriptorCount, FirstDescriptorCount);
  }
  return 0;
}
