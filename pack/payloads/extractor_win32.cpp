// Extracting on Windows: each folder on the way is looked at before it is
// used, and one that is a link (a symbolic link or a junction, a reparse
// point) is refused; files are created new beside their place and renamed
// into it.  Windows has no executable mode.
#include "pack/payloads/extractor.h"

#include <windows.h>

#include <random>

#include "pack/system/cleanup.h"
#include "pack/system/error.h"
#include "pack/system/text.h"
#include "pack/payloads/names.h"
#include "pack/system/system.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

bool is_link(const fs::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

class Extractor : public RecordVisitor {
 public:
  explicit Extractor(const fs::path& root) : root_(root) {}
  ~Extractor() override { discard(); }
  void begin_record(const RecordInfo& record) override {
    std::vector<std::u16string> parts = extraction_components(record.name);
    shown_ = "\"" + display_name(record.name) + "\"";
    fs::path folder = root_;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      folder /= std::wstring(parts[i].begin(), parts[i].end());
      if (is_link(folder)) refuse_link(parts[i]);
      std::error_code error;
      if (!fs::is_directory(folder, error) && !fs::create_directory(folder, error)) {
        throw PackError("cannot create the folder \"" + display_name(parts[i]) + "\" for " + shown_ + ": " +
                        error.message());
      }
    }
    place_ = folder / std::wstring(parts.back().begin(), parts.back().end());
    if (is_link(place_)) refuse_link(parts.back());
    std::error_code error;
    if (fs::is_directory(place_, error)) throw PackError("cannot write " + shown_ + ": a folder is in its place");
    SystemProblem failure;
    for (int attempt = 0; attempt < 100 && file_ == NO_FILE; ++attempt) {
      wchar_t suffix[32];
      swprintf(suffix, 32, L".%08x.tmp", (unsigned)random_());
      temporary_ = folder / (L".zovari-pack" + std::wstring(suffix));
      failure = SystemProblem();
      file_ = create_new_file(temporary_, &failure);
      if (file_ == NO_FILE && !failure.exists) break;
    }
    if (file_ == NO_FILE) throw PackError("cannot create " + shown_ + ": " + failure.text);
    mark_ = remember_temporary(temporary_, false);
  }
  void record_data(const char* data, size_t size) override {
    SystemProblem problem;
    if (!write_file(file_, data, size, &problem)) throw PackError("cannot write " + shown_ + ": " + problem.text);
  }
  void end_record(const RecordInfo&, uint32_t) override {
    FileId file = file_;
    file_ = NO_FILE;
    SystemProblem problem;
    bool good = close_file(file, &problem) &&
                MoveFileExW(temporary_.c_str(), place_.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    if (!good) {
      if (problem.text.empty()) problem.text = "cannot replace the file (error " + std::to_string(GetLastError()) + ")";
      discard();
      throw PackError("cannot write " + shown_ + ": " + problem.text);
    }
    forget_temporary(mark_);
    mark_ = -1;
    temporary_.clear();
  }

 private:
  [[noreturn]] void refuse_link(const std::u16string& what) {
    throw PackError("refusing to write " + shown_ + " through the link \"" + display_name(what) +
                    "\" that is already in " + quoted_path(root_));
  }
  void discard() {
    SystemProblem ignored;
    if (file_ != NO_FILE) close_file(file_, &ignored);
    file_ = NO_FILE;
    std::error_code error;
    if (!temporary_.empty()) fs::remove(temporary_, error);
    temporary_.clear();
    forget_temporary(mark_);
    mark_ = -1;
  }

  fs::path root_, place_, temporary_;
  FileId file_ = NO_FILE;
  int mark_ = -1;
  std::minstd_rand random_{std::random_device()()};
  std::string shown_;
};

}  // namespace

std::unique_ptr<RecordVisitor> make_extractor(const fs::path& root) {
  return std::make_unique<Extractor>(root);
}

}  // namespace zovari
