// Test driver for pack/executables/resources.cpp: writes a Windows launcher with the
// resources zovari-pack would give it, from the runtime image RUNTIME and
// with the runtime's own empty build area, and prints OUTPUT's path.
//   resources_driver RUNTIME OUTPUT ICON PRODUCT COMPANY DESCRIPTION COPYRIGHT
//                    FILE_VERSION PRODUCT_VERSION ORIGINAL_FILENAME INTERNAL_NAME
// ICON "" means the project's own icon.  A PackError is printed as one line
// on standard error, with exit code 1, and OUTPUT is not written.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "pack/executables/binary_kind.h"
#include "pack/system/error.h"
#include "pack/executables/launcher_image.h"
#include "pack/system/temporary_output.h"
#include "pack/system/text.h"
#include "pack/executables/resources.h"

int main(int argc, char** argv) {
  if (argc != 12) {
    std::fprintf(stderr,
                 "usage: resources_driver RUNTIME OUTPUT ICON PRODUCT COMPANY DESCRIPTION "
                 "COPYRIGHT FILE_VERSION PRODUCT_VERSION ORIGINAL_FILENAME INTERNAL_NAME\n");
    return 2;
  }
  zovari::VersionValues values;
  values.product = argv[4];
  values.company = argv[5];
  values.description = argv[6];
  values.copyright = argv[7];
  values.file_version = argv[8];
  values.product_version = argv[9];
  values.original_filename = argv[10];
  values.internal_name = argv[11];
  try {
    zovari::WindowsResources resources = zovari::make_windows_resources(values, argv[3]);
    std::ifstream in(argv[1], std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string runtime = bytes.str();
    zovari::check_runtime_image(runtime, false, argv[1]);
    zovari::BuildAreaPlace area;
    const auto* data = reinterpret_cast<const unsigned char*>(runtime.data());
    zovari::find_build_area(data, runtime.size(), &area);
    zovari::ImagePieces image = zovari::pe_launcher(
        runtime, {data + area.offset, (size_t)area.capacity}, {}, zovari::SUBSYSTEM_WINDOWS,
        [&](uint32_t rva) { return zovari::resource_section(resources, rva); });
    zovari::TemporaryOutput output(argv[2]);
    for (const zovari::Span& piece : image.pieces()) {
      output.write(reinterpret_cast<const char*>(piece.data), piece.size);
    }
    output.commit();
    std::printf("%s\n", argv[2]);
  } catch (const zovari::PackError& error) {
    std::fprintf(stderr, "error: %s\n", error.what());
    return 1;
  }
  return 0;
}
