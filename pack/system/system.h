// What zovari-pack asks of the operating system, in one place: files read,
// created and mapped, its own path, the processor count, private folders,
// the terminal.  One implementation per system (system_posix.cpp,
// system_win32.cpp); the rest of the tool is the same on both.  Failures
// come back as the system's own text, which the caller puts into a
// PackError naming what the user gave.
#ifndef ZOVARI_PACK_SYSTEM_H
#define ZOVARI_PACK_SYSTEM_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace zovari {

// An open file, or -1.
using FileId = intptr_t;
inline constexpr FileId NO_FILE = -1;

struct SystemProblem {
  std::string text;      // the system's message
  bool missing = false;  // the file or a folder on its way does not exist
  bool exists = false;   // a file is already there (exclusive creation)
};

// Opens a file for reading; NO_FILE with *problem when it cannot.
FileId open_for_reading(const std::filesystem::path& path, SystemProblem* problem);

// Creates a new file for writing, never opening one that is there already
// or following a link at its place; NO_FILE with *problem (exists set when
// the name is taken).
FileId create_new_file(const std::filesystem::path& path, SystemProblem* problem);

// Reads up to size bytes: the count, 0 at the end, -1 with *problem.
long long read_file(FileId file, char* data, size_t size, SystemProblem* problem);

// Writes all of data; false with *problem.
bool write_file(FileId file, const char* data, size_t size, SystemProblem* problem);

// The file's size, or -1 with *problem (also when it is not a regular file).
long long regular_file_size(FileId file, SystemProblem* problem);

// What changes when someone writes a file: its size and the times of its
// last write and last change, in the system's own units.
struct FileVersion {
  long long size = 0;
  long long modified = 0;
  long long changed = 0;
  bool operator==(const FileVersion& other) const {
    return size == other.size && modified == other.modified && changed == other.changed;
  }
};

// The open file's version; false with *problem.
bool file_version(FileId file, FileVersion* version, SystemProblem* problem);

// Moves the read position to offset bytes from the start; false with *problem.
bool seek_file(FileId file, uint64_t offset, SystemProblem* problem);

// Gives the file these permission bits where the system has them.
bool set_file_mode(FileId file, unsigned mode, SystemProblem* problem);

// Closes the file; false with *problem when data may not have arrived.
bool close_file(FileId file, SystemProblem* problem);

// Maps size bytes of an open file read-only; nullptr with *problem.
const unsigned char* map_file(FileId file, uint64_t size, SystemProblem* problem);
void unmap_file(const unsigned char* data, uint64_t size);

// This program's own path, or empty when the system will not say.
std::filesystem::path own_executable_path();

// The processors this process may run on, at least 1.
int processor_count();

// A new private folder (only this user may enter it) under base; false
// with *problem.
bool make_private_folder(const std::filesystem::path& base, std::filesystem::path* made,
                         SystemProblem* problem);

// True when the standard error stream is a terminal.
bool error_stream_is_terminal();

// The permission bits a new file loses (the umask), 0 where there is none.
unsigned creation_mask();

}  // namespace zovari

#endif
