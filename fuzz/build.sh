#!/bin/sh
# Builds the fuzz targets (the ZOVARI_FUZZ configuration, with clang) into
# OUTPUT_DIR.  Usage: fuzz/build.sh [OUTPUT_DIR] (default out/fuzz).
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$repo/out/fuzz}
cmake -S "$repo" -B "$out" -DZOVARI_FUZZ=ON -DCMAKE_C_COMPILER="${CC:-clang-14}" \
  -DCMAKE_CXX_COMPILER="${CXX:-clang++-14}"
cmake --build "$out" -j"$(nproc)"
