#!/bin/sh
# Runs every robustness check with bounded time and prints the counts:
#   1. the fuzz targets (fuzz/run.sh), SECONDS each;
#   2. the fault tests on real launchers (ctest -L robustness in the native
#      build: kills during a cold start, group starts, a disk that fills),
#      under Wine too where the Windows build is there;
#   3. the unit tests built with AddressSanitizer and UndefinedBehaviorSanitizer
#      (out/sanitize).
# Usage: scripts/robustness.sh [SECONDS_PER_FUZZ_TARGET]   (default 25)
# Exits non-zero when anything failed.
#
# The long mode (not part of the test command) only fuzzes, one target at a
# time, each until RUNS executions or MAX_SECONDS (default 3600), from a
# corpus kept between runs in out/fuzz-corpus/<target>/, and prints
# executions, coverage and findings per target:
#   scripts/robustness.sh --long RUNS [MAX_SECONDS]      e.g. --long 1000000
# Afterwards `fuzz/run.sh --keep` refreshes the small corpus kept in the
# repository (fuzz/corpus/), which the smoke starts from.
set -u
repo=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--long" ]; then
  exec "$repo/fuzz/run.sh" --long "${2:?usage: scripts/robustness.sh --long RUNS [MAX_SECONDS]}" \
    "${3:-3600}" "$repo/out/fuzz"
fi
seconds=${1:-25}
out=$repo/out
jobs=2
# The builds to use: its own by default; the test command hands it the
# main builds so that nothing is built twice.
windows=${ZOVARI_ROBUST_WINDOWS:-$out/robust-windows}
linux=${ZOVARI_ROBUST_LINUX:-$out/robust-linux}
sanitize=$out/sanitize
summary=$(mktemp)
counts=$(mktemp)
trap 'rm -f "$summary" "$counts"' EXIT
failed=0

note() { echo "$*" | tee -a "$summary"; }
fail() { note "FAILED: $*"; failed=1; }

quiet() {  # quiet LOG COMMAND...: runs COMMAND, shows LOG's end when it fails
  log=$1; shift
  if ! "$@" >"$log" 2>&1; then
    tail -30 "$log"
    return 1
  fi
}

mkdir -p "$out"

# --- builds -------------------------------------------------------------------
echo "== building (logs in $out/robustness-*.log)"
have_windows=0
if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
  if quiet "$out/robustness-windows.log" sh -c "
      cmake -S '$repo' -B '$windows' -DCMAKE_TOOLCHAIN_FILE='$repo/cmake/mingw-w64.cmake' &&
      cmake --build '$windows' -j$jobs --target zovari_runtime zovari_robust_check"; then
    have_windows=1
  else
    fail "the Windows build"
  fi
fi
quiet "$out/robustness-linux.log" sh -c "
    cmake -S '$repo' -B '$linux' -DZOVARI_WINDOWS_BUILD_DIR='$windows' &&
    cmake --build '$linux' -j$jobs" || fail "the native build"

# --- fuzzing ----------------------------------------------------------------------
echo "== fuzzing, $seconds s per target"
fuzz_output=$("$repo/fuzz/run.sh" "$seconds" "$out/fuzz")
fuzz_status=$?
echo "$fuzz_output" | grep '^fuzz ' >>"$summary"
echo "$fuzz_output"
[ $fuzz_status -eq 0 ] || fail "fuzzing"

# --- fault tests --------------------------------------------------------------------
echo "== fault tests on real launchers"
if [ $have_windows -eq 0 ]; then
  echo "(no Windows build: the Wine variants skip)"
fi
if (cd "$linux" && ctest -N -L robustness | grep -q 'Total Tests: [1-9]'); then
  if ! (cd "$linux" && ZOVARI_ROBUST_COUNTS=$counts ctest -j$jobs -L robustness --output-on-failure \
          >"$out/robustness-faults.log" 2>&1); then
    tail -60 "$out/robustness-faults.log"
    fail "fault tests (log $out/robustness-faults.log)"
  fi
  grep -E 'tests passed|skipped|expected failure' "$out/robustness-faults.log" | head -5
else
  fail "no fault tests registered (is zovari-pack built?)"
fi
# The drivers add "name count" lines; sum them per name.
awk '{ n = $NF; $NF = ""; sub(/ $/, ""); total[$0] += n } END { for (k in total) print k ": " total[k] }' \
  "$counts" | sort >>"$summary"

# --- sanitizers -------------------------------------------------------------------------
echo "== unit tests (the launcher's and the packing tool's) under AddressSanitizer and UndefinedBehaviorSanitizer"
if quiet "$out/robustness-sanitize.log" sh -c "
    cmake -S '$repo' -B '$sanitize' -DZOVARI_SANITIZE=ON &&
    cmake --build '$sanitize' -j$jobs"; then
  # The launcher keeps what it holds (message texts, environment copies, the
  # reader after a designed exit) until its process ends, by design: leak
  # checking would report exactly that, so it is off.  The test that starves
  # the reader of address space cannot run here: AddressSanitizer's shadow
  # memory needs more address space than any such limit leaves.
  if (cd "$sanitize" && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
        GTEST_FILTER='-PayloadReader.WindowThatCannotBeAllocatedIsReported' \
        ctest -R '^(unit|pack-unit)$' -V >"$out/robustness-sanitize-run.log" 2>&1); then
    cases=$(sed -n 's/.*\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$out/robustness-sanitize-run.log" |
            awk '{ sum += $1 } END { print sum }')
    note "runs under sanitizers: ${cases:-0} unit test cases"
  else
    tail -40 "$out/robustness-sanitize-run.log"
    fail "unit tests under sanitizers (log $out/robustness-sanitize-run.log)"
  fi
else
  fail "the sanitizer build"
fi

echo
echo "== robustness summary"
cat "$summary"
if [ $failed -eq 0 ]; then
  echo "nothing failed"
else
  echo "SOMETHING FAILED"
fi
exit $failed
