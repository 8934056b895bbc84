#include "pack/temporary_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <system_error>

#include "pack/cleanup.h"
#include "pack/error.h"
#include "pack/text.h"

namespace fs = std::filesystem;

namespace zovari {

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
      // The user named the output, not the temporary file beside it.
      throw PackError("cannot create " + quoted_path(output) + ": " + std::strerror(errno));
    }
  }
  if (fd_ < 0) throw PackError("cannot choose a temporary file name beside " + quoted_path(output));
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
    if (done <= 0) throw PackError("cannot write " + quoted_path(output_) + ": " + std::strerror(errno));
    data += done;
    size -= (size_t)done;
  }
}

void TemporaryOutput::set_mode(unsigned mode) {
  if (::fchmod(fd_, (mode_t)mode) != 0) {
    throw PackError("cannot set the permissions of " + quoted_path(output_) + ": " + std::strerror(errno));
  }
}

void TemporaryOutput::commit() {
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) throw PackError("cannot write " + quoted_path(output_) + ": " + std::strerror(errno));
  std::error_code error;
  fs::rename(path_, output_, error);
  if (error) throw PackError("cannot write " + quoted_path(output_) + ": " + error.message());
  committed_ = true;
}

}  // namespace zovari
