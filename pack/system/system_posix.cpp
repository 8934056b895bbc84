// The system seam on POSIX systems (Linux).
#include "pack/system/system.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/creation_mask.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

void fail(SystemProblem* problem) {
  problem->text = std::strerror(errno);
  problem->missing = errno == ENOENT;
  problem->exists = errno == EEXIST;
}

}  // namespace

FileId open_for_reading(const fs::path& path, SystemProblem* problem) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(problem);
  return fd;
}

FileId create_new_file(const fs::path& path, SystemProblem* problem) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) fail(problem);
  return fd;
}

long long read_file(FileId file, char* data, size_t size, SystemProblem* problem) {
  for (;;) {
    ssize_t got = ::read((int)file, data, size);
    if (got >= 0) return got;
    if (errno != EINTR) {
      fail(problem);
      return -1;
    }
  }
}

bool write_file(FileId file, const char* data, size_t size, SystemProblem* problem) {
  while (size > 0) {
    ssize_t done = ::write((int)file, data, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      fail(problem);
      return false;
    }
    data += done;
    size -= (size_t)done;
  }
  return true;
}

long long regular_file_size(FileId file, SystemProblem* problem) {
  struct stat info;
  if (::fstat((int)file, &info) != 0) {
    fail(problem);
    return -1;
  }
  if (!S_ISREG(info.st_mode)) {
    problem->text = "not a regular file";
    return -1;
  }
  return (long long)info.st_size;
}

bool file_version(FileId file, FileVersion* version, SystemProblem* problem) {
  struct stat info;
  if (::fstat((int)file, &info) != 0) {
    fail(problem);
    return false;
  }
  version->size = (long long)info.st_size;
  version->modified = (long long)info.st_mtim.tv_sec * 1000000000 + info.st_mtim.tv_nsec;
  version->changed = (long long)info.st_ctim.tv_sec * 1000000000 + info.st_ctim.tv_nsec;
  return true;
}

bool seek_file(FileId file, uint64_t offset, SystemProblem* problem) {
  if (::lseek((int)file, (off_t)offset, SEEK_SET) >= 0) return true;
  fail(problem);
  return false;
}

bool set_file_mode(FileId file, unsigned mode, SystemProblem* problem) {
  if (::fchmod((int)file, (mode_t)mode) == 0) return true;
  fail(problem);
  return false;
}

bool close_file(FileId file, SystemProblem* problem) {
  if (::close((int)file) == 0) return true;
  fail(problem);
  return false;
}

const unsigned char* map_file(FileId file, uint64_t size, SystemProblem* problem) {
  void* view = ::mmap(nullptr, (size_t)size, PROT_READ, MAP_PRIVATE, (int)file, 0);
  if (view != MAP_FAILED) return static_cast<const unsigned char*>(view);
  fail(problem);
  return nullptr;
}

void unmap_file(const unsigned char* data, uint64_t size) {
  ::munmap(const_cast<unsigned char*>(data), (size_t)size);
}

fs::path own_executable_path() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self;
}

int processor_count() {
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0) return CPU_COUNT(&cpus);
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? (int)online : 1;
}

bool make_private_folder(const fs::path& base, fs::path* made, SystemProblem* problem) {
  std::string pattern = (base / "zovari-pack.XXXXXX").string();
  std::vector<char> text(pattern.begin(), pattern.end());
  text.push_back('\0');
  if (::mkdtemp(text.data()) == nullptr) {
    fail(problem);
    return false;
  }
  *made = text.data();
  return true;
}

bool error_stream_is_terminal() { return ::isatty(2) != 0; }

unsigned creation_mask() { return file_creation_mask(); }

}  // namespace zovari
