#include "pack/common.h"

#include <cstdio>
#include <random>
#include <system_error>

#include "pack/cleanup.h"
#include "pack/system.h"
#include "platform/utf8.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

// The UTF-16 form of text; false when it is not valid UTF-8.
bool decode_utf8(const std::string& text, std::u16string* out) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    uint32_t code = 0;
    size_t used = utf8_decode(bytes + i, text.size() - i, &code);
    if (used == 0) return false;
    char16_t units[2];
    out->append(units, utf16_encode(code, units));
    i += used;
  }
  return true;
}

}  // namespace

std::u16string utf16_from_utf8(const std::string& text) {
  std::u16string out;
  if (!decode_utf8(text, &out)) throw PackError("text is not valid UTF-8");
  return out;
}

bool is_utf8(const std::string& text) {
  std::u16string ignored;
  return decode_utf8(text, &ignored);
}

std::string utf8_from_utf16(const std::u16string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    uint32_t code = 0;
    size_t used = utf16_decode(text.data() + i, text.size() - i, &code);
    if (used == 0) throw PackError("text is not valid UTF-16");
    unsigned char bytes[4];
    out.append(reinterpret_cast<const char*>(bytes), utf8_encode(code, bytes));
    i += used;
  }
  return out;
}

std::string in_quotes(const std::string& text) { return "\"" + text + "\""; }

std::string quoted_path(const fs::path& path) {
  const std::string text = path.u8string();
  const bool valid = is_utf8(text);
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

TemporaryOutput::TemporaryOutput(const fs::path& output) : output_(output) {
  std::random_device random;
  std::uniform_int_distribution<unsigned long> digits(0, 0xFFFFFFFFul);
  for (int attempt = 0; attempt < 100 && file_ == kNoFile; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08lx.tmp", digits(random));
    path_ = output;
    path_ += suffix;
    SystemProblem problem;
    file_ = create_new_file(path_, &problem);
    if (file_ == kNoFile && !problem.exists) {
      // The user named the output, not the temporary file beside it.
      throw PackError("cannot create " + quoted_path(output) + ": " + problem.text);
    }
  }
  if (file_ == kNoFile) throw PackError("cannot choose a temporary file name beside " + quoted_path(output));
  mark_ = remember_temporary(path_, false);
}

TemporaryOutput::~TemporaryOutput() {
  SystemProblem ignored;
  if (file_ != kNoFile) close_file(file_, &ignored);
  std::error_code error;
  if (!committed_) fs::remove(path_, error);
  forget_temporary(mark_);
}

void TemporaryOutput::write(const char* data, size_t size) {
  SystemProblem problem;
  if (!write_file(file_, data, size, &problem)) {
    throw PackError("cannot write " + quoted_path(output_) + ": " + problem.text);
  }
}

void TemporaryOutput::set_mode(unsigned mode) {
  SystemProblem problem;
  if (!set_file_mode(file_, mode, &problem)) {
    throw PackError("cannot set the permissions of " + quoted_path(output_) + ": " + problem.text);
  }
}

void TemporaryOutput::commit() {
  FileId file = file_;
  file_ = kNoFile;
  SystemProblem problem;
  if (!close_file(file, &problem)) throw PackError("cannot write " + quoted_path(output_) + ": " + problem.text);
  std::error_code error;
  fs::rename(path_, output_, error);
  if (error) throw PackError("cannot write " + quoted_path(output_) + ": " + error.message());
  committed_ = true;
}

TemporaryFolder::TemporaryFolder() {
  std::error_code error;
  std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) base = "/tmp";
  SystemProblem problem;
  if (!make_private_folder(base, &path_, &problem)) {
    throw PackError("cannot create a temporary folder in " + quoted_path(base) + ": " + problem.text);
  }
  mark_ = remember_temporary(path_, true);
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  forget_temporary(mark_);
}

}  // namespace zovari
