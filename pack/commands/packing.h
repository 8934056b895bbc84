// Packing an application folder into a payload file, for payload and build:
// which files go in, and the progress line while they are compressed.
#ifndef ZOVARI_PACK_PACKING_H
#define ZOVARI_PACK_PACKING_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "pack/commands/arguments.h"
#include "pack/payloads/writer.h"

namespace zovari {

// The application's files (--input, --main, --exclude), without the excluded
// ones and without the output when it lies in the folder and holds a payload:
// a build into the app's own folder must not pack the launcher it replaces.
// An output that is the main binary, or any other file of the folder (by its
// own name, a link or a hard link), is refused.  Warns of each --exclude that named nothing
// and of .pyc files that Python would rewrite.
std::vector<PayloadRecord> collect_input(const Arguments& args, const std::filesystem::path& output);

// Writes the payload file output from records with --level and --jobs,
// showing progress on a terminal unless --quiet.  Leaves out first, with a
// warning, every file but the main binary that is a launcher of this tool
// (an older build written into the folder would go into the next one), and
// lists the rest with --verbose, names with separator between their parts.
// Called once everything else is checked: it is the first to read the files.
void pack_records(const Arguments& args, std::vector<PayloadRecord>& records,
                  const std::filesystem::path& output, char16_t separator);

// The bytes of all the records' files together.
uint64_t total_size(const std::vector<PayloadRecord>& records);

// The records' names, in order.
std::vector<std::u16string> record_names(const std::vector<PayloadRecord>& records);

}  // namespace zovari

#endif
