#!/bin/sh
# Builds a runtime image (zovari-launcher) into RUNTIME_DIR from another copy
# of the project, by the project's own CMake description (Release, as the
# tree's runtime), for measuring a change before it is made in the tree.
# Usage: bench/build_runtime.sh SOURCE_DIR RUNTIME_DIR
set -eu
mkdir -p "$2"
out=$(cd "$2" && pwd)
cmake -S "$1" -B "$out/build" -DCMAKE_BUILD_TYPE=Release -DZOVARI_RUNTIME_DIR="$out" >/dev/null
cmake --build "$out/build" -j"$(nproc)" --target zovari_runtime
