#include "pack/executables/runtime_image.h"

#include <fstream>
#include <sstream>

#include "pack/system/error.h"
#include "pack/system/text.h"
#include "pack/executables/launcher_image.h"
#include "pack/system/system.h"

namespace fs = std::filesystem;

namespace zovari {

namespace {

// The folder that holds this program, or empty when the system will not say.
fs::path own_folder() { return own_executable_path().parent_path(); }

// The installation prefix when this program is installed (its folder is
// <prefix>/bin beside <prefix>/lib/zovari-onefile), or empty in a build tree.
fs::path installed_prefix() {
  fs::path folder = own_folder();
  if (folder.empty()) return fs::path();
  std::error_code error;
  fs::path prefix = folder.parent_path();
  return fs::is_directory(prefix / "lib" / "zovari-onefile", error) ? prefix : fs::path();
}

}  // namespace

std::string runtime_image_name(const std::string& target) {
  return target == "windows" ? "zovari-launcher.exe" : "zovari-launcher";
}

fs::path default_runtime_image(const std::string& target) {
  fs::path prefix = installed_prefix();
  if (!prefix.empty()) return prefix / INSTALLED_RUNTIME_PATH / target / runtime_image_name(target);
  // Unpacked from the Windows zip: runtime\<target>\ beside the tool.
  fs::path beside = own_folder() / "runtime" / target / runtime_image_name(target);
  std::error_code error;
  if (fs::is_regular_file(beside, error)) return beside;
#if defined(ZOVARI_LINUX_RUNTIME) && defined(ZOVARI_WINDOWS_RUNTIME)
  return fs::path(target == "windows" ? ZOVARI_WINDOWS_RUNTIME : ZOVARI_LINUX_RUNTIME);
#else
  return beside;
#endif
}

std::string read_runtime_image(const fs::path& named, const std::string& target) {
  const fs::path path = named.empty() ? default_runtime_image(target) : named;
  std::ifstream in(path, std::ios::binary);
  std::error_code error;
  if (!in || !fs::is_regular_file(path, error)) {
    std::string remedy;
    if (!named.empty()) {
      remedy = "--runtime names the " + target + " runtime image itself (" + runtime_image_name(target) + ")";
    } else if (!installed_prefix().empty()) {
      remedy = "reinstall the Debian package zovari-pack";
    } else {
      remedy = "build the " + target + " target of the project, or name the image with --runtime";
    }
    throw PackError("the " + target + " runtime image " + quoted_path(path) + " cannot be read: " + remedy);
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) throw PackError("cannot read the runtime image " + quoted_path(path));
  std::string image = bytes.str();
  check_runtime_image(image, target == "linux", quoted_path(path));
  return image;
}

}  // namespace zovari
