// Writing a payload's records under a folder (zovari-pack extract): never
// through a symbolic link that is already in the folder and never over a
// file that is there, each file written beside its place and moved into it
// when complete.  The main binary and
// files that start like programs get the executable mode where the system
// has modes.  One implementation per system (extractor_posix.cpp,
// extractor_win32.cpp).
#ifndef ZOVARI_PACK_EXTRACTOR_H
#define ZOVARI_PACK_EXTRACTOR_H

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "pack/payloads/reader.h"

namespace zovari {

// The visitor that writes each record under root, which must exist.  Throws
// PackError naming the record and what went wrong.
std::unique_ptr<RecordVisitor> make_extractor(const std::filesystem::path& root);

// The components of a record's name under the folder extracted into;
// PackError when the name would leave it or breaks the container's rules
// (and on Windows, Windows' rules).
std::vector<std::u16string> extraction_components(const std::u16string& name);

// True where extraction writes to Windows, whose rules every name must then
// meet, whatever system the payload was made for.
bool extraction_takes_windows_rules();

}  // namespace zovari

#endif
