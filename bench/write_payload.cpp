// Writes the payload of an application folder with the packing tool's own
// writer, for launchers that the benchmark links itself.
//
// Usage: write_payload DIR MAIN OUTPUT [LEVEL]
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "pack/payload_writer.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: write_payload DIR MAIN OUTPUT [LEVEL]\n");
    return 2;
  }
  try {
    zovari::PayloadOptions options;
    if (argc == 5) options.level = std::atoi(argv[4]);
    auto records = zovari::collect_application(argv[1], argv[2]);
    zovari::write_payload_file(records, options, argv[3]);
    std::printf("%zu records at level %d\n", records.size(), options.level);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "write_payload: %s\n", error.what());
    return 2;
  }
  return 0;
}
