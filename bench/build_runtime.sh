#!/usr/bin/env bash
# Builds a launcher runtime (libzovari_runtime.a and link-libraries.txt) from
# a copy of the launcher's sources, for measuring a change before it is made
# in the tree:
#
#   cp -r launcher payload paths platform build out/bench-scratch/src/
#   ... edit the copy ...
#   bench/build_runtime.sh out/bench-scratch/src out/bench-scratch/runtime
#   scripts/bench.sh --candidate out/bench-scratch/runtime
#
# Same flags as the CMake Release build of the runtime.
set -euo pipefail
src=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
objects="$out/objects"
rm -rf "$objects"
mkdir -p "$objects"
sources=(launcher/child.cpp launcher/command_line.cpp launcher/fatal.cpp launcher/launcher.cpp
         payload/checksum.cpp payload/directories.cpp payload/reader.cpp payload/unpack.cpp
         paths/bounded.cpp paths/executable_path.cpp paths/runtime_values.cpp paths/template.cpp
         platform/posix.cpp launcher/entry_posix.cpp)
pids=()
for source in "${sources[@]}"; do
  g++ -std=gnu++17 -O3 -DNDEBUG -fno-exceptions -fno-rtti -Wall -Wextra -I"$src" \
    -c "$src/$source" -o "$objects/$(echo "$source" | tr / _).o" &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
rm -f "$out/libzovari_runtime.a"
ar rcs "$out/libzovari_runtime.a" "$objects"/*.o
printf '%s\n' /usr/lib/x86_64-linux-gnu/libzstd.a /usr/lib/x86_64-linux-gnu/libz.a -pthread \
  > "$out/link-libraries.txt"
echo "runtime in $out"
