#!/usr/bin/env bash
# Fails when a source file includes from a floor above its own.  The floors,
# bottom up: platform/, paths/, payload/, launcher/.  image/ holds the build
# area, the values that each launcher's build fixes, and includes nothing
# else; the seam knows nothing of them.
# The packing tool pack/ stands beside the launcher and takes nothing from
# launcher/.  tests/ and fuzz/ may include anything.
set -euo pipefail
cd "$(dirname "$0")/.."

may_include() {
  case $1 in
    image) echo "image" ;;
    platform) echo "platform" ;;
    paths) echo "platform paths image" ;;
    payload) echo "platform paths payload image" ;;
    launcher) echo "platform paths payload launcher image" ;;
    pack) echo "platform paths payload pack image" ;;
  esac
}

status=0
while IFS=: read -r file line text; do
  floor=${file%%/*}
  included=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"/]*\)\/.*/\1/p' <<<"$text")
  [ -n "$included" ] || continue
  case " $(may_include "$floor") " in
    *" $included "*) ;;
    *) echo "$file:$line: $floor/ includes from $included/, which is not below it: $text" >&2
       status=1 ;;
  esac
done < <(grep -rn --include='*.h' --include='*.cpp' --include='*.c' \
  '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' image platform paths payload launcher pack)
exit $status
