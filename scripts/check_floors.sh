#!/usr/bin/env bash
# Fails when a source file includes from a floor above its own.  The floors,
# bottom up: platform/, paths/, payload/, launcher/.  build/ declares the
# values that each launcher's build fixes; the seam knows nothing of them.
# The packing tool pack/ stands beside the launcher and takes nothing from
# launcher/.  tests/ and fuzz/ may include anything.
set -euo pipefail
cd "$(dirname "$0")/.."

may_include() {
  case $1 in
    platform) echo "platform" ;;
    paths) echo "platform paths build" ;;
    payload) echo "platform paths payload build" ;;
    launcher) echo "platform paths payload launcher build" ;;
    pack) echo "platform paths payload pack build" ;;
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
  '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' platform paths payload launcher pack)
exit $status
