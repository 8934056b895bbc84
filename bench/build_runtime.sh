#!/bin/sh
# Builds a runtime image (zovari-launcher) into RUNTIME_DIR from another copy
# of the project, by the project's own CMake description (Release, as the
# tree's runtime), for measuring a change before it is made in the tree.
# With --windows, also the Windows image, cross-built into RUNTIME_DIR/windows
# from the zstd and libdeflate sources that scripts/setup.sh fetched for this
# tree.
# Usage: bench/build_runtime.sh SOURCE_DIR RUNTIME_DIR [--windows]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
source=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
cmake -S "$source" -B "$out/build" -DCMAKE_BUILD_TYPE=Release -DZOVARI_RUNTIME_DIR="$out" >/dev/null
cmake --build "$out/build" -j"$(nproc)" --target zovari_runtime
if [ "${3:-}" = --windows ]; then
  cmake -S "$source" -B "$out/build-windows" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DZOVARI_RUNTIME_DIR="$out/windows" \
    -DZOVARI_ZSTD_SOURCE="$root/out/deps/zstd" -DZOVARI_LIBDEFLATE_SOURCE="$root/out/deps/libdeflate" \
    -DZOVARI_LUA_SOURCE="$root/out/deps/lua" \
    --no-warn-unused-cli >/dev/null
  cmake --build "$out/build-windows" -j"$(nproc)" --target zovari_runtime
fi
