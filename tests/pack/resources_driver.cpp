// Test driver for pack/resources.cpp: writes a launcher's resources as
// zovari-pack would and prints the resource script's path.
//   resources_driver WORKDIR ICON PRODUCT COMPANY DESCRIPTION COPYRIGHT
//                    FILE_VERSION PRODUCT_VERSION ORIGINAL_FILENAME INTERNAL_NAME
// ICON "" means the project's own icon.  A PackError is printed as one line
// on standard error, with exit code 1.
#include <cstdio>

#include "pack/error.h"
#include "pack/resources.h"

int main(int argc, char** argv) {
  if (argc != 11) {
    std::fprintf(stderr,
                 "usage: resources_driver WORKDIR ICON PRODUCT COMPANY DESCRIPTION "
                 "COPYRIGHT FILE_VERSION PRODUCT_VERSION ORIGINAL_FILENAME INTERNAL_NAME\n");
    return 2;
  }
  zovari::VersionValues values;
  values.product = argv[3];
  values.company = argv[4];
  values.description = argv[5];
  values.copyright = argv[6];
  values.file_version = argv[7];
  values.product_version = argv[8];
  values.original_filename = argv[9];
  values.internal_name = argv[10];
  try {
    std::printf("%s\n", zovari::write_windows_resources(argv[1], values, argv[2]).c_str());
  } catch (const zovari::PackError& error) {
    std::fprintf(stderr, "error: %s\n", error.what());
    return 1;
  }
  return 0;
}
