#!/usr/bin/env bash
# Makes seven-values-linux.xz: a Linux launcher of the build area's first
# layout (seven values, no quick-start list, no options, no checksum),
# written by the tool of commit 63d9dcd, the last before the quick start's
# value.  The pack tests read it with today's list, verify and extract, and
# start it: it runs with its own runtime.
#
#   git worktree add --detach /tmp/seven 63d9dcd
#   (build the tool and the runtime there: cmake -S /tmp/seven -B /tmp/seven/out/linux
#    && cmake --build /tmp/seven/out/linux --target zovari-pack zovari_runtime)
#   bash tests/pack/data/make_seven_values.sh /tmp/seven/out/linux
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/app/docs"
printf '#!/bin/sh\necho "seven values: $*"\ncat "$(dirname "$0")/docs/a.txt"\n' >"$work/app/run.sh"
chmod 755 "$work/app/run.sh"
printf 'from the first layout\n' >"$work/app/docs/a.txt"
touch -d 2026-01-01T00:00:00Z "$work/app/run.sh" "$work/app/docs/a.txt"
"$build/pack/zovari-pack" build --input "$work/app" --main run.sh --output "$work/seven" \
  --runtime "$build/runtime/linux/zovari-launcher" --product Seven --version 7.0.0 \
  --template '{TEMP}/zovari-seven-values/{VERSION}' --arg 'first argument' --arg docs/a.txt
xz -9e -c "$work/seven" >"$here/seven-values-linux.xz"
