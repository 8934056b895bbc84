// Extracting on POSIX systems: every folder below the root is opened without
// following links, through descriptors (openat), so that no link put into
// the folder meanwhile is ever followed.
#include "pack/payloads/extractor.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "pack/system/cleanup.h"
#include "pack/system/error.h"
#include "pack/system/text.h"
#include "pack/payloads/names.h"
#include "payload/programs.h"
#include "pack/system/system.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

// Writes the records under a folder.  Every folder below it is opened
// without following links, and each file is written as a new temporary file
// that is then renamed into place, so nothing is ever written through a link
// that was in the folder; a link where a folder or file goes is refused.
class Extractor : public RecordVisitor {
 public:
  explicit Extractor(const fs::path& root) : root_(root) {
    root_fd_ = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_fd_ < 0) throw PackError("cannot open folder " + root.string() + ": " + std::strerror(errno));
  }
  ~Extractor() override {
    discard();
    close_folder();
    ::close(root_fd_);
  }
  void begin_record(const RecordInfo& record) override {
    std::vector<std::u16string> parts = extraction_components(record.name);
    shown_ = "\"" + display_name(record.name) + "\"";
    file_name_ = utf8_from_utf16(parts.back());
    parts.pop_back();
    // Records of one folder mostly follow each other: keep its descriptor.
    if (folder_fd_ < 0 || parts != folder_parts_) {
      close_folder();
      folder_fd_ = open_folders(parts);
      folder_parts_ = parts;
    }
    struct stat info;
    if (::fstatat(folder_fd_, file_name_.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      if (S_ISLNK(info.st_mode)) refuse_link(record.name);
      if (S_ISDIR(info.st_mode)) throw PackError("cannot write " + shown_ + ": a folder is in its place");
      refuse_existing();
    }
    for (int attempt = 0; attempt < 100 && out_fd_ < 0; ++attempt) {
      char suffix[32];
      std::snprintf(suffix, sizeof suffix, ".%08x.tmp", (unsigned)random_());
      temporary_ = (file_name_.size() > 200 ? std::string(".zovari-pack") : "." + file_name_) + suffix;
      out_fd_ = ::openat(folder_fd_, temporary_.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (out_fd_ < 0 && errno != EEXIST) break;
    }
    if (out_fd_ < 0) throw PackError("cannot create " + shown_ + ": " + std::strerror(errno));
    fs::path whole = root_;
    for (const std::u16string& part : parts) whole /= utf8_from_utf16(part);
    mark_ = remember_temporary((whole / temporary_).string(), false);
  }
  void record_data(const char* data, size_t size) override {
    if (head_.size() < 4) head_.append(data, std::min(size, 4 - head_.size()));
    while (size > 0) {
      ssize_t wrote = ::write(out_fd_, data, size);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) throw PackError("cannot write " + shown_ + ": " + std::strerror(errno));
      data += wrote;
      size -= (size_t)wrote;
    }
  }
  void end_record(const RecordInfo&, uint32_t) override {
    int fd = out_fd_;
    out_fd_ = -1;
    // The main binary and whatever starts like a program can be run, as the
    // launcher leaves them; the umask has its say as for any new file.
    bool program = records_++ == 0 || starts_like_program((const unsigned char*)head_.data(), head_.size());
    head_.clear();
    // Never over a file that came meanwhile either.
    bool good = (!program || ::fchmod(fd, 0777 & ~umask_) == 0) && ::close(fd) == 0 &&
                ::renameat2(folder_fd_, temporary_.c_str(), folder_fd_, file_name_.c_str(), RENAME_NOREPLACE) == 0;
    int error = errno;
    if (!good) {
      discard();
      if (error == EEXIST) refuse_existing();
      throw PackError("cannot write " + shown_ + ": " + std::strerror(error));
    }
    forget_temporary(mark_);
    mark_ = -1;
    temporary_.clear();
  }

 private:
  // The folder that holds the file, made where missing, as an open descriptor.
  int open_folders(const std::vector<std::u16string>& parts) {
    int fd = ::dup(root_fd_);
    for (const std::u16string& part : parts) {
      std::string name = utf8_from_utf16(part);
      int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0 && errno == ENOENT && ::mkdirat(fd, name.c_str(), 0777) == 0) {
        next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      }
      int error = errno;
      struct stat info;
      bool link = next < 0 && ::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                  S_ISLNK(info.st_mode);
      ::close(fd);
      if (link) refuse_link(part);
      if (next < 0) {
        throw PackError("cannot create the folder \"" + display_name(part) + "\" for " + shown_ + ": " +
                        std::strerror(error));
      }
      fd = next;
    }
    return fd;
  }
  [[noreturn]] void refuse_existing() {
    throw PackError("cannot write " + shown_ + ": a file is already in its place, and extract replaces nothing");
  }
  [[noreturn]] void refuse_link(const std::u16string& what) {
    throw PackError("refusing to write " + shown_ + " through the symbolic link \"" +
                    display_name(what) + "\" that is already in " + root_.string());
  }
  void discard() {
    if (out_fd_ >= 0) ::close(out_fd_);
    out_fd_ = -1;
    if (!temporary_.empty() && folder_fd_ >= 0) ::unlinkat(folder_fd_, temporary_.c_str(), 0);
    temporary_.clear();
    forget_temporary(mark_);
    mark_ = -1;
  }
  void close_folder() {
    if (folder_fd_ >= 0) ::close(folder_fd_);
    folder_fd_ = -1;
  }

  fs::path root_;
  int root_fd_ = -1, folder_fd_ = -1, out_fd_ = -1, mark_ = -1;
  std::vector<std::u16string> folder_parts_;  // the folder folder_fd_ is open on
  std::minstd_rand random_{std::random_device()()};
  std::string shown_, file_name_, temporary_;
  std::string head_;  // the record's first bytes
  uint64_t records_ = 0;
  mode_t umask_ = (mode_t)creation_mask();
};

}  // namespace

bool extraction_takes_windows_rules() { return false; }

std::unique_ptr<RecordVisitor> make_extractor(const fs::path& root) {
  return std::make_unique<Extractor>(root);
}

}  // namespace zovari
