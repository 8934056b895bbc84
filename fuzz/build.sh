#!/bin/sh
# Builds the fuzz targets with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, straight from the launcher's sources and the
# POSIX platform layer.  Usage: fuzz/build.sh [OUTPUT_DIR] (default out/fuzz).
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$repo/out/fuzz}
mkdir -p "$out/obj"

CXX=${CXX:-clang++-14}
sanitizers="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
flags="-std=c++17 -g -O1 -fno-omit-frame-pointer -I$repo -I$repo/fuzz"
# The launcher's code as it is built, with the fuzzer's coverage added.
core_flags="$flags $sanitizers -fsanitize=fuzzer-no-link -fno-exceptions -fno-rtti"
# exit and abort are taken over while a guarded call runs (fuzz/guard.cpp).
link_flags="-fsanitize=fuzzer $sanitizers -Wl,--wrap=exit -Wl,--wrap=abort"

objects=""
compile() {  # compile SOURCE OBJECT FLAGS...
  c_source=$1; c_object=$2; shift 2
  if [ ! -f "$c_object" ] || [ "$c_source" -nt "$c_object" ] ||
     [ -n "$(find "$repo" -name '*.h' -newer "$c_object" -not -path "$repo/out/*" | head -1)" ]; then
    $CXX "$@" -c "$c_source" -o "$c_object"
  fi
}

for source in "$repo"/launcher/*.cpp "$repo"/payload/*.cpp "$repo"/paths/*.cpp "$repo"/platform/posix.cpp; do
  name=$(echo "${source#$repo/}" | tr '/' '_')
  compile "$source" "$out/obj/${name%.cpp}.o" $core_flags
  objects="$objects $out/obj/${name%.cpp}.o"
done
for source in fuzz/guard fuzz/fuzz_config tests/support/windows_split; do
  compile "$repo/$source.cpp" "$out/obj/$(echo "$source" | tr / _).o" $flags $sanitizers
  objects="$objects $out/obj/$(echo "$source" | tr / _).o"
done

for target in payload template quoting; do
  compile "$repo/fuzz/${target}_fuzzer.cpp" "$out/obj/${target}_fuzzer.o" $core_flags -fexceptions
  $CXX $link_flags -o "$out/${target}_fuzzer" "$out/obj/${target}_fuzzer.o" $objects \
    -l:libzstd.a -l:libz.a -lpthread
done
echo "fuzz targets in $out"
