#!/bin/sh
# Builds the fuzz targets, replays their seeds and every kept input of
# fuzz/regressions/<target>/, then fuzzes each target for a bounded time.
# Usage: fuzz/run.sh [SECONDS_PER_TARGET] [OUTPUT_DIR]   (default 25, out/fuzz)
# Prints "fuzz <target>: <n> executions" per target; exits non-zero when a
# kept input fails or a finding is made (its input is left in
# OUTPUT_DIR/findings/<target>/).
set -u
repo=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-25}
out=${2:-$repo/out/fuzz}

"$repo/fuzz/build.sh" "$out" >"$out.build.log" 2>&1 || { cat "$out.build.log"; echo "fuzz: build failed"; exit 1; }
rm -rf "$out/seeds"
python3 "$repo/fuzz/make_seeds.py" "$out/seeds" || exit 1

max_len_payload=65536
max_len_template=4096
max_len_quoting=8192   # short enough that every joined line fits 32767 units

failed=0
for target in payload template quoting; do
  binary=$out/${target}_fuzzer
  corpus=$out/corpus/$target
  findings=$out/findings/$target
  log=$out/$target.log
  mkdir -p "$corpus" "$findings"
  eval max_len=\$max_len_$target
  options="-max_len=$max_len -timeout=30 -artifact_prefix=$findings/"

  # A finding ends the target before it can clean up after itself; its
  # temporary folders go with this one.
  scratch=$out/scratch-$target
  rm -rf "$scratch"
  mkdir -p "$scratch"
  kept=$(find "$repo/fuzz/regressions/$target" -type f 2>/dev/null | sort)
  if [ -n "$kept" ]; then
    # shellcheck disable=SC2086
    if ! TMPDIR=$scratch "$binary" $options $kept >"$log.kept" 2>&1; then
      echo "fuzz $target: a kept input fails (see $log.kept)"
      failed=1
      rm -rf "$scratch"
      continue
    fi
  fi
  # shellcheck disable=SC2086
  TMPDIR=$scratch "$binary" $options -max_total_time="$seconds" -print_final_stats=1 \
    "$corpus" "$out/seeds/$target" >"$log" 2>&1
  status=$?
  rm -rf "$scratch"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ $status -ne 0 ]; then
    grep -E "FINDING|ERROR|SUMMARY" "$log" | head -5
    echo "fuzz $target: FAILED after ${runs:-0} executions (input in $findings, log $log)"
    failed=1
  else
    echo "fuzz $target: ${runs:-0} executions"
  fi
done
exit $failed
