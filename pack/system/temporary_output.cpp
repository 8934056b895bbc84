#include "pack/system/temporary_output.h"

#include <cstdio>
#include <random>
#include <string>
#include <system_error>

#include "pack/system/cleanup.h"
#include "pack/system/error.h"
#include "pack/system/system.h"
#include "pack/system/text.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

// An output that is there already must be a file that renaming replaces: a
// named pipe or a device (/dev/null) would be replaced by a file in its place.
// A symbolic link is itself replaced, never what it points at.
void check_replaceable(const fs::path& output) {
  std::error_code error;
  fs::file_status status = fs::symlink_status(output, error);
  if (error || !fs::exists(status) || fs::is_regular_file(status) || fs::is_symlink(status)) return;
  if (fs::is_directory(status)) throw PackError(quoted_path(output) + " is a folder");
  const char* what = fs::is_fifo(status) ? "a named pipe"
                     : fs::is_character_file(status) || fs::is_block_file(status) ? "a device"
                                                                                   : "a special file";
  throw PackError("refusing to replace " + quoted_path(output) + ", which is " + what + ", not a regular file");
}

}  // namespace

TemporaryOutput::TemporaryOutput(const fs::path& output) : output_(output) {
  std::random_device random;
  std::uniform_int_distribution<unsigned long> digits(0, 0xFFFFFFFFul);
  for (int attempt = 0; attempt < 100 && file_ == NO_FILE; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08lx.tmp", digits(random));
    path_ = output;
    path_ += suffix;
    SystemProblem problem;
    file_ = create_new_file(path_, &problem);
    if (file_ == NO_FILE && !problem.exists) {
      // The user named the output, not the temporary file beside it.
      throw PackError("cannot create " + quoted_path(output) + ": " + problem.text);
    }
  }
  if (file_ == NO_FILE) throw PackError("cannot choose a temporary file name beside " + quoted_path(output));
  mark_ = remember_temporary(path_, false);
}

TemporaryOutput::~TemporaryOutput() {
  SystemProblem ignored;
  if (file_ != NO_FILE) close_file(file_, &ignored);
  std::error_code error;
  if (!committed_) fs::remove(path_, error);
  forget_temporary(mark_);
}

void TemporaryOutput::write(const char* data, size_t size) {
  stop_if_interrupted();
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
  file_ = NO_FILE;
  SystemProblem problem;
  if (!close_file(file, &problem)) throw PackError("cannot write " + quoted_path(output_) + ": " + problem.text);
  check_replaceable(output_);
  std::error_code error = rename_into_place(path_, output_);
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

void prepare_output(const fs::path& output) {
  std::error_code error;
  check_replaceable(output);
  if (fs::is_directory(output, error)) throw PackError(quoted_path(output) + " is a folder");
  fs::path folder = output.parent_path();
  if (!folder.empty() && !fs::is_directory(folder, error)) {
    fs::create_directories(folder, error);
    if (error) throw PackError("cannot create the folder " + quoted_path(folder) + ": " + error.message());
  }
  // Made and removed at once: whether the output can be written at all.
  TemporaryOutput probe(output);
}

}  // namespace zovari
