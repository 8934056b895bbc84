#!/usr/bin/env bash
# Builds both targets from a clean tree and runs every test: the native ones
# directly, the Windows ones under Wine in a throwaway prefix made once for
# the run.  Installs whatever is missing first (Debian 12, as root).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Each floor includes only from the floors below it.
bash scripts/check_floors.sh

bash scripts/setup.sh

jobs=$(nproc)
cmake -S . -B out/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build out/windows -j"$jobs"
cmake -S . -B out/linux -DCMAKE_BUILD_TYPE=Release -DZOVARI_WINDOWS_BUILD_DIR="$root/out/windows" >/dev/null
cmake --build out/linux -j"$jobs"

WINEPREFIX=$(mktemp -d /tmp/zovari-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all
# The tests' temporary folders lie in a folder of root's that only root may
# write to, below folders likewise: under Wine, a folder that others may
# write to (/tmp, sticky bit and all) shows as Everyone's to delete from,
# and a Windows launcher refuses a target below one.  The tests that need a
# shared or sticky folder make their own.
TMPDIR=$(mktemp -d /var/cache/zovari-tests.XXXXXX)
chmod 0755 "$TMPDIR"
export TMPDIR
cleanup() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$TMPDIR"
}
trap cleanup EXIT
# Making the prefix takes a few seconds; do it once, not in every test.
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true

# Each part runs whatever the one before it gave; the last line says how
# many of them failed, and which.
passed=0
failed=()
part() {
  local name=$1
  shift
  echo "== $name"
  if "$@"; then
    passed=$((passed + 1))
  else
    failed+=("$name")
  fi
}
part "Windows build, under Wine" ctest --test-dir out/windows --output-on-failure
part "Native build (the fault tests run with the robustness checks below)" \
  ctest --test-dir out/linux --output-on-failure -LE robustness
part "Robustness: fuzzing smoke, fault injection, sanitizers" \
  env ZOVARI_ROBUST_LINUX="$root/out/linux" ZOVARI_ROBUST_WINDOWS="$root/out/windows" \
  sh scripts/robustness.sh
echo
for name in "${failed[@]}"; do
  echo "FAILED: $name"
done
echo "test parts: $passed passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
