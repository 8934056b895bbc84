#!/bin/sh
# Builds the fuzz targets, replays every kept input of fuzz/regressions/<target>/,
# then fuzzes each target in one of two modes:
#
#   fuzz/run.sh [SECONDS_PER_TARGET] [OUTPUT_DIR]          (default 25, out/fuzz)
#     The smoke: SECONDS per target, starting from the kept corpus
#     (fuzz/corpus/<target>/) and the generated seeds; what it finds stays in
#     OUTPUT_DIR/corpus/<target>/.  Prints "fuzz <target>: <n> executions".
#
#   fuzz/run.sh --long RUNS [MAX_SECONDS] [OUTPUT_DIR]     (default 3600, out/fuzz)
#     Runs each target until RUNS executions or MAX_SECONDS, one target at a
#     time, from a corpus kept between runs in out/fuzz-corpus/<target>/
#     (started from the kept corpus and the seeds, minimized after each run).
#     Prints executions, rate, coverage (libFuzzer's cov and ft), corpus size
#     and findings per target, and for the payload target the count of open
#     descriptors after its first input and after its last.
#
#   fuzz/run.sh --keep [OUTPUT_DIR]
#     Replaces fuzz/corpus/<target>/ with a minimized copy of what the long
#     runs gathered in out/fuzz-corpus/<target>/ (edges only, so it stays small).
#
# Exits non-zero when a kept input fails, a finding is made (its input is left
# in OUTPUT_DIR/findings/<target>/), or the harness fails ("HARNESS:" lines:
# it could not clean up after an input, which says nothing of the launcher).
set -u
repo=$(cd "$(dirname "$0")/.." && pwd)
mode=smoke
case ${1:-} in
  --long)
    mode=long
    runs=${2:?usage: fuzz/run.sh --long RUNS [MAX_SECONDS] [OUTPUT_DIR]}
    seconds=${3:-3600}
    out=${4:-$repo/out/fuzz}
    ;;
  --keep)
    mode=keep
    out=${2:-$repo/out/fuzz}
    ;;
  *)
    seconds=${1:-25}
    out=${2:-$repo/out/fuzz}
    ;;
esac
long_corpus=$repo/out/fuzz-corpus
targets="payload template quoting area names"

mkdir -p "$out"
"$repo/fuzz/build.sh" "$out" >"$out.build.log" 2>&1 || { cat "$out.build.log"; echo "fuzz: build failed"; exit 1; }
rm -rf "$out/seeds"
python3 "$repo/fuzz/make_seeds.py" "$out/seeds" || exit 1

max_len_payload=65536
max_len_template=4096
max_len_quoting=8192   # short enough that every joined line fits 32767 units
max_len_area=8192
max_len_names=4096

# The payload target makes and deletes a tree per input: on a memory file
# system that costs a sixth of what it costs on disk.
scratch_root=$out
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch_root=/dev/shm
fi

if [ $mode = keep ]; then
  for target in $targets; do
    eval max_len=\$max_len_$target
    [ -d "$long_corpus/$target" ] || { echo "fuzz $target: no corpus in $long_corpus/$target"; exit 1; }
    fresh=$repo/fuzz/corpus/$target.new
    rm -rf "$fresh"
    mkdir -p "$fresh"
    scratch=$(mktemp -d "$scratch_root/zovari-fuzz-$target.XXXXXX")
    # Edges only (no counters, no compared values): the fewest inputs that
    # still reach every line the long runs reached.
    if ! TMPDIR=$scratch "$out/${target}_fuzzer" -merge=1 -use_counters=0 -use_value_profile=0 \
           -detect_leaks=0 -max_len="$max_len" "$fresh" "$long_corpus/$target" \
           >"$out/$target.keep.log" 2>&1; then
      rm -rf "$scratch" "$fresh"
      echo "fuzz $target: minimizing failed (log $out/$target.keep.log)"
      exit 1
    fi
    rm -rf "$scratch" "$repo/fuzz/corpus/$target"
    mv "$fresh" "$repo/fuzz/corpus/$target"
    echo "fuzz $target: kept $(ls "$repo/fuzz/corpus/$target" | wc -l) inputs," \
         "$(du -sk "$repo/fuzz/corpus/$target" | cut -f1) KiB"
  done
  exit 0
fi

# The last figure of libFuzzer's status lines: "field: value".
last_field() {  # last_field LOG FIELD
  sed -n "s/.* $2: \([0-9]*\).*/\1/p" "$1" | tail -1
}

failed=0
for target in $targets; do
  binary=$out/${target}_fuzzer
  findings=$out/findings/$target
  log=$out/$target.log
  mkdir -p "$findings"
  eval max_len=\$max_len_$target
  # -print_funcs=0: naming a newly covered function starts the symbolizer,
  # whose pipes the payload target would count as descriptors a start left.
  options="-max_len=$max_len -timeout=30 -detect_leaks=0 -print_funcs=0 -artifact_prefix=$findings/"

  # A finding ends the target before it can clean up after itself; its
  # temporary folders go with this one.
  scratch=$(mktemp -d "$scratch_root/zovari-fuzz-$target.XXXXXX")
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
  # libFuzzer adds what it finds to the first folder and only reads the others.
  if [ $mode = long ]; then
    corpus=$long_corpus/$target
    limits="-runs=$runs -max_total_time=$seconds"
  else
    corpus=$out/corpus/$target
    limits="-max_total_time=$seconds"
  fi
  mkdir -p "$corpus"
  sources=$out/seeds/$target
  if [ -d "$repo/fuzz/corpus/$target" ]; then
    sources="$repo/fuzz/corpus/$target $sources"
  fi
  # shellcheck disable=SC2086
  TMPDIR=$scratch "$binary" $options $limits -print_final_stats=1 \
    "$corpus" $sources >"$log" 2>&1
  status=$?
  rm -rf "$scratch"
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if grep -q '^HARNESS:' "$log"; then
    grep '^HARNESS:' "$log" | head -3
    echo "fuzz $target: HARNESS ERROR after ${executions:-?} executions, no finding (log $log)"
    failed=1
  elif [ $status -ne 0 ]; then
    grep -E "FINDING|ERROR|SUMMARY" "$log" | head -5
    echo "fuzz $target: FAILED after ${executions:-0} executions (input in $findings, log $log)"
    failed=1
  elif [ $mode = smoke ]; then
    echo "fuzz $target: ${executions:-0} executions"
  else
    # Minimize the kept corpus so that the next run starts from what
    # matters, not from everything this one added.
    minimized=$corpus.min
    rm -rf "$minimized"
    mkdir -p "$minimized"
    scratch=$(mktemp -d "$scratch_root/zovari-fuzz-$target.XXXXXX")
    if TMPDIR=$scratch "$binary" -merge=1 -detect_leaks=0 -max_len="$max_len" \
         "$minimized" "$corpus" >"$log.merge" 2>&1; then
      rm -rf "$corpus"
      mv "$minimized" "$corpus"
    else
      echo "fuzz $target: minimizing the corpus failed (log $log.merge); kept it whole"
      rm -rf "$minimized"
    fi
    rm -rf "$scratch"
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    echo "fuzz $target: ${executions:-0} executions (${rate:-?}/s)," \
         "cov $(last_field "$log" cov), ft $(last_field "$log" ft)," \
         "corpus $(ls "$corpus" | wc -l) inputs, findings 0"
    grep '^descriptors:' "$log" | tail -1 | sed "s/^/fuzz $target: /"
  fi
done
exit $failed
