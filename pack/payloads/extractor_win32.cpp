// Extracting on Windows: every path is the folder and the name's parts
// joined by hand and checked to lie under the folder; each folder on the way
// is looked at before it is used, and one that is a link (a symbolic link or
// a junction, a reparse point) is refused; files are created new beside
// their place and moved into it, never over a file.  Windows has no
// executable mode.
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

fs::path wide(const std::u16string& text) { return fs::path(std::wstring(text.begin(), text.end())); }

// The folder as a full path with no separator at its end, as Windows reads it.
std::u16string full_root(const fs::path& root) {
  std::wstring text = fs::absolute(root).wstring();
  while (!text.empty() && (text.back() == L'\\' || text.back() == L'/')) text.pop_back();
  return std::u16string(text.begin(), text.end());
}

class Extractor : public RecordVisitor {
 public:
  explicit Extractor(const fs::path& root) : root_(root), full_root_(full_root(root)) {}
  ~Extractor() override { discard(); }
  void begin_record(const RecordInfo& record) override {
    std::vector<std::u16string> parts = extraction_components(record.name);
    shown_ = "\"" + display_name(record.name) + "\"";
    // Joined by hand, one part after another: a path operator would let a
    // part that names a drive or a root take the folder's place.
    std::u16string below;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      below += (i > 0 ? u"\\" : u"") + parts[i];
      fs::path folder = checked_place(below);
      if (is_link(folder)) refuse_link(parts[i]);
      std::error_code error;
      if (!fs::is_directory(folder, error) && !fs::create_directory(folder, error)) {
        throw PackError("cannot create the folder \"" + display_name(parts[i]) + "\" for " + shown_ + ": " +
                        error.message());
      }
    }
    const std::u16string folder_name = below;
    below += (below.empty() ? u"" : u"\\") + parts.back();
    place_ = checked_place(below);
    if (is_link(place_)) refuse_link(parts.back());
    std::error_code error;
    if (fs::is_directory(place_, error)) throw PackError("cannot write " + shown_ + ": a folder is in its place");
    if (GetFileAttributesW(place_.c_str()) != INVALID_FILE_ATTRIBUTES) refuse_existing();
    const fs::path folder = folder_name.empty() ? wide(full_root_) : wide(windows_join(full_root_, folder_name));
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
                MoveFileExW(temporary_.c_str(), place_.c_str(), 0) != 0;
    if (!good) {
      DWORD error = GetLastError();
      if (problem.text.empty()) problem.text = "cannot move the file into place (error " + std::to_string(error) + ")";
      discard();
      // A file that came meanwhile is kept: nothing is replaced.
      if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) refuse_existing();
      throw PackError("cannot write " + shown_ + ": " + problem.text);
    }
    forget_temporary(mark_);
    mark_ = -1;
    temporary_.clear();
  }

 private:
  // The path of below (parts joined by "\\") under the folder, checked to lie
  // there both by the name rules and by Windows' own reading of the path.
  fs::path checked_place(const std::u16string& below) {
    std::u16string place = windows_join(full_root_, below);
    std::string problem = windows_place_problem(full_root_, place);
    std::wstring text(place.begin(), place.end());
    if (problem.empty()) {
      DWORD size = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
      std::wstring full(size, L'\0');
      DWORD got = size ? GetFullPathNameW(text.c_str(), size, full.data(), nullptr) : 0;
      full.resize(got < size ? got : 0);
      if (full != text) problem = "is read by Windows as another path";
    }
    if (!problem.empty()) {
      throw PackError("refusing to write " + shown_ + " at \"" + display_name(place) + "\": it " + problem);
    }
    return fs::path(text);
  }
  [[noreturn]] void refuse_existing() {
    throw PackError("cannot write " + shown_ + ": a file is already in its place, and extract replaces nothing");
  }
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

  fs::path root_;
  std::u16string full_root_;
  fs::path place_, temporary_;
  FileId file_ = NO_FILE;
  int mark_ = -1;
  std::minstd_rand random_{std::random_device()()};
  std::string shown_;
};

}  // namespace

bool extraction_takes_windows_rules() { return true; }

std::unique_ptr<RecordVisitor> make_extractor(const fs::path& root) {
  return std::make_unique<Extractor>(root);
}

}  // namespace zovari
