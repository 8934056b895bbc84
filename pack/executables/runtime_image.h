// The runtime images that launchers are written from: where they are and
// reading one.
#ifndef ZOVARI_PACK_RUNTIME_IMAGE_H
#define ZOVARI_PACK_RUNTIME_IMAGE_H

#include <filesystem>
#include <string>

namespace zovari {

// Where an installed tool keeps its runtime images, relative to the
// installation prefix (the tool itself is <prefix>/bin/zovari-pack): one
// folder per target.
inline const char* const INSTALLED_RUNTIME_PATH = "lib/zovari-onefile/runtime";

// The file name of target's runtime image ("linux" or "windows").
std::string runtime_image_name(const std::string& target);

// The runtime image of target that this tool uses unless --runtime names
// one: the installed one (<prefix>/lib/zovari-onefile/runtime/, found from
// the tool's own path, so that a moved installation still works), the one
// in runtime/<target>/ beside the tool (the Windows zip), or else the build
// tree's.
std::filesystem::path default_runtime_image(const std::string& target);

// The runtime image of target, named (empty: the default): its bytes,
// checked to be one that can hold a build area.  Throws PackError in one line
// naming what is missing or wrong and what brings it.
std::string read_runtime_image(const std::filesystem::path& named, const std::string& target);

}  // namespace zovari

#endif
