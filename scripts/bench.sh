#!/usr/bin/env bash
# The unpacking benchmark in one command: builds the runtime images and the
# packing tool in build folders of their own (out/bench-linux and
# out/bench-windows, each with its runtime image), then runs bench/bench.py,
# which makes the corpora, packs the launchers, runs them beside their
# references on tmpfs and on disk (the Windows ones under Wine, in tmpfs) and
# prints both tables.  Exit code 0 when every target passes, 1 otherwise.
#
#   scripts/bench.sh                 everything, 10 rounds
#   scripts/bench.sh --rounds 20     more rounds on a noisy machine
#   scripts/bench.sh --only tmpfs    one place only
#   scripts/bench.sh --help          the driver's options
#
# Needs gcc/g++, cmake, the static zstd and zlib libraries, the zstd and tar
# commands and /usr/bin/python3 (all installed by scripts/setup.sh).  The
# first run compresses about 100 MB at level 19, which takes a minute or two;
# later runs reuse what is unchanged.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/out/bench-linux"

for tool in cmake gcc g++ zstd tar /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (run scripts/setup.sh)" >&2; exit 2; }
done

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DZOVARI_WINDOWS_BUILD_DIR="$root/out/bench-windows" >/dev/null
cmake --build "$build" -j"$(nproc)" --target zovari_runtime zovari-pack >/dev/null

# The Windows runtime, for the launchers that run under Wine beside their
# Windows references; left out when MinGW or Wine is missing.
if command -v x86_64-w64-mingw32-gcc-posix >/dev/null && [ -x /usr/lib/wine/wine64 ]; then
  cmake -S "$root" -B "$root/out/bench-windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$root/out/bench-windows" -j"$(nproc)" --target zovari_runtime >/dev/null
fi

exec /usr/bin/python3 "$root/bench/bench.py" --build-dir "$build" \
  --runtime "$build/runtime/linux/zovari-launcher" \
  --windows-runtime "$root/out/bench-windows/runtime/windows/zovari-launcher.exe" "$@"
