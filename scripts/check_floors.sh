#!/usr/bin/env bash
# Fails when a source file includes from a floor above its own.  The floors,
# bottom up: platform/, paths/, payload/, launcher/.  image/ holds the build
# area, the values that each launcher's build fixes, and includes nothing
# else; the seam knows nothing of them.
# The packing tool pack/ stands beside the launcher and takes nothing from
# launcher/.  Its wings are floors of their own, bottom up: system/ (the
# tool's system seam), payloads/, executables/, commands/; every file of the
# tool lies in one of them.  tests/ and fuzz/ may include anything.
set -euo pipefail
cd "$(dirname "$0")/.."

tool_base="platform paths payload image pack/system"
may_include() {
  case $1 in
    image) echo "image" ;;
    platform) echo "platform" ;;
    paths) echo "platform paths image" ;;
    payload) echo "platform paths payload image" ;;
    launcher) echo "platform paths payload launcher image" ;;
    pack/system) echo "$tool_base" ;;
    pack/payloads) echo "$tool_base pack/payloads" ;;
    pack/executables) echo "$tool_base pack/payloads pack/executables" ;;
    pack/commands) echo "$tool_base pack/payloads pack/executables pack/commands" ;;
  esac
}

# A path's floor: its first folder, or for the tool its wing ("pack" alone
# for a file outside every wing, which may include nothing).
floor_of() {
  case $1 in
    pack/*/*) local rest=${1#pack/}; echo "pack/${rest%%/*}" ;;
    *) echo "${1%%/*}" ;;
  esac
}

status=0
while IFS=: read -r file line text; do
  included=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\/[^"]*\)".*/\1/p' <<<"$text")
  [ -n "$included" ] || continue
  floor=$(floor_of "$file")
  case " $(may_include "$floor") " in
    *" $(floor_of "$included") "*) ;;
    *) echo "$file:$line: $floor/ includes from $(floor_of "$included")/, which is not below it: $text" >&2
       status=1 ;;
  esac
done < <(grep -rn --include='*.h' --include='*.cpp' --include='*.c' \
  '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' image platform paths payload launcher pack)
exit $status
