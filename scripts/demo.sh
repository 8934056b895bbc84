#!/usr/bin/env bash
# The main job, end to end: builds the project (both targets), packs the sample
# application (sample/) into a single-file launcher for Linux and one for
# Windows with zovari-pack, and runs each twice, the Windows one under Wine in a
# throwaway prefix: the first start unpacks (cold), the second finds every file
# already in place (warm).  Shows where the files went.
#
# Usage: scripts/demo.sh            (installs what is missing first: Debian 12, as root)
# Environment: ZOVARI_LINUX_BUILD, ZOVARI_WINDOWS_BUILD (default out/linux,
# out/windows), ZOVARI_DEMO_DIR (default out/demo).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
linux_build=${ZOVARI_LINUX_BUILD:-$here/out/linux}
windows_build=${ZOVARI_WINDOWS_BUILD:-$here/out/windows}
demo=${ZOVARI_DEMO_DIR:-$here/out/demo}
jobs=$(nproc 2>/dev/null || echo 2)

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
now_ms() { date +%s%3N; }
# The unpacked files with their modification times, to show that a warm start
# writes nothing.
stamps() { if [ -d "$1" ]; then (cd "$1" && find . -type f -printf '%T@ %p\n' | sort -k2); fi; }
compare_stamps() {
  if [ "$1" = "$2" ]; then
    echo "-- warm start: no file was written again (modification times unchanged)"
  else
    echo "-- warm start: some files were written again"
  fi
}

# --- Builds ---------------------------------------------------------------------
step "Installing what is missing"
bash "$here/scripts/setup.sh"
step "Building (native: $linux_build, Windows: $windows_build)"
if [ ! -f "$linux_build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$linux_build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
if [ ! -f "$windows_build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$windows_build" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" >/dev/null
fi
cmake --build "$linux_build" -j "$jobs" --target zovari-pack zovari_runtime zovari-sample >/dev/null
cmake --build "$windows_build" -j "$jobs" --target zovari_runtime zovari-sample >/dev/null
pack="$linux_build/pack/zovari-pack"
echo "zovari-pack: $pack"

# --- Launchers --------------------------------------------------------------------
rm -rf "$demo/launchers" "$demo/cache"
mkdir -p "$demo/launchers"
common=(--product ZovariSample --version 1.0.0 --company "Zovari"
        --description "the sample application")

# {CACHE_DIR} is $XDG_CACHE_HOME (or ~/.cache): point it at the demo folder,
# before packing, so that the build's summary names the folder the demo uses.
export XDG_CACHE_HOME="$demo/cache"

step "Packing the sample for Linux"
"$pack" build --target linux --input "$linux_build/sample/app" --main zovari-sample \
        --output "$demo/launchers/zovari-sample" --runtime "$linux_build/runtime/linux/zovari-launcher" \
        "${common[@]}"
"$pack" verify "$demo/launchers/zovari-sample"
"$pack" list "$demo/launchers/zovari-sample"

step "Packing the sample for Windows"
"$pack" build --target windows --input "$windows_build/sample/app" --main zovari-sample.exe \
        --output "$demo/launchers/zovari-sample.exe" \
        --runtime "$windows_build/runtime/windows/zovari-launcher.exe" "${common[@]}"
"$pack" verify "$demo/launchers/zovari-sample.exe"
ls -l "$demo/launchers"

# --- Linux: cold and warm start ------------------------------------------------------
# The default folder's name: the version, "-" and the payload's digest.
for start in cold warm; do
  step "Linux launcher, $start start"
  t0=$(now_ms)
  status=0
  "$demo/launchers/zovari-sample" one "two words" || status=$?
  echo "-- exit code $status, $(( $(now_ms) - t0 )) ms"
  linux_target=$(echo "$XDG_CACHE_HOME"/ZovariSample/1.0.0-*)
  if [ $start = cold ]; then before=$(stamps "$linux_target"); else compare_stamps "$before" "$(stamps "$linux_target")"; fi
done
step "Where the Linux launcher put the files ({CACHE_DIR}/{PRODUCT}/{VERSION}-digest)"
(cd "$XDG_CACHE_HOME" && find . -type f | sort)

# --- Windows under Wine: cold and warm start ---------------------------------------------
if [ ! -x /usr/lib/wine/wine64 ]; then
  echo "Wine is not installed (package wine64): skipping the Windows launcher"
  exit 0
fi
WINEPREFIX=$(mktemp -d /tmp/zovari-demo-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
step "Preparing a throwaway Wine prefix ($WINEPREFIX)"
"$here/tests/wine-run" wineboot -i >/dev/null 2>&1 || true
local_appdata="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local"
for start in cold warm; do
  step "Windows launcher under Wine, $start start"
  t0=$(now_ms)
  status=0
  "$here/tests/wine-run" "$demo/launchers/zovari-sample.exe" one "two words" || status=$?
  echo "-- exit code $status, $(( $(now_ms) - t0 )) ms"
  windows_target=$(echo "$local_appdata"/ZovariSample/1.0.0-*)
  if [ $start = cold ]; then before=$(stamps "$windows_target"); else compare_stamps "$before" "$(stamps "$windows_target")"; fi
done
step "Where the Windows launcher put the files ({CACHE_DIR}\\{PRODUCT}\\{VERSION}-digest)"
echo "C:\\users\\$(id -un)\\AppData\\Local = $local_appdata"
(cd "$local_appdata" && find ZovariSample -type f | sort)
