// The one line that says what a build made.
#ifndef ZOVARI_PACK_BUILD_SUMMARY_H
#define ZOVARI_PACK_BUILD_SUMMARY_H

#include <cstdint>
#include <filesystem>
#include <vector>

#include "pack/executables/launcher_build.h"
#include "pack/payloads/writer.h"

namespace zovari {

// Puts it on stderr: files, bytes, payload size and ratio, target,
// subsystem and the cache folder the template gives.
void print_summary(const std::filesystem::path& output, const std::vector<PayloadRecord>& records,
                   uint64_t payload_size, const LauncherSettings& s);

}  // namespace zovari

#endif
