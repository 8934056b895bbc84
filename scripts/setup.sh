#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine (run as root),
# and fetches the zstd and libdeflate sources for the Windows build, and
# Lua's for the Windows interpreter the end-to-end tests pack.
# Safe to run again: it installs only what is missing.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
deps="$here/out/deps"

packages=(
  cmake g++ make pkg-config
  libzstd-dev libdeflate-dev zlib1g-dev zstd
  googletest libgtest-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev libz-mingw-w64-dev
  wine64
  libstb-dev python3-pefile icoutils
  unicode-data
  clang libclang-rt-14-dev
  dpkg-dev xz-utils
  osslsigncode openssl zip
  strace time hyperfine
  lua5.4 nodejs
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# apt-get source needs a deb-src entry for this release's main component.  It
# is made from the machine's own Debian entries, so that it uses their mirror
# or proxy and keys: each deb822 stanza (sources.list.d/*.sources) or one-line
# entry (sources.list, sources.list.d/*.list) of type deb whose suites include
# the release, repeated as deb-src for the release alone.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
srcfile=/etc/apt/sources.list.d/zovari-deb-src.sources
need_update=0
has_deb_src() {
  grep -qs '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources ||
    grep -qsE '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list
}
# The deb822 stanzas of the files named, each as a deb-src stanza.
deb822_as_source() {
  awk -v suite="$codename" '
    function flush() {
      if (deb && ours && !off) printf "%sTypes: deb-src\n%s", (shown++ ? "\n" : ""), kept
      kept = ""; deb = 0; ours = 0; off = 0; field = ""
    }
    FNR == 1 { flush() }
    /^[[:space:]]*$/ { flush(); next }
    /^#/ { next }
    /^[^[:space:]]/ {
      field = tolower($0); sub(/:.*/, "", field)
      value = " " $0 " "; sub(/^ [^:]*:/, " ", value); gsub(/[[:space:]]+/, " ", value)
      if (field == "types" && value ~ / deb /) deb = 1
      if (field == "suites" && index(value, " " suite " ")) ours = 1
      if (field == "enabled" && tolower(value) ~ / no /) off = 1
    }
    /^[^[:space:]]/ && field == "suites" { kept = kept "Suites: " suite "\n" }
    field != "types" && field != "suites" { kept = kept $0 "\n" }
    END { flush() }
  ' "$@"
}
# The one-line entries of the files named, each as a deb-src line.
one_line_as_source() {
  awk -v suite="$codename" '
    $1 == "deb" {
      uri = 2
      if ($2 ~ /^\[/) { while (uri < NF && $uri !~ /\]$/) uri++; uri++ }
      if ($(uri + 1) == suite) { $1 = "deb-src"; print }
    }
  ' "$@"
}
if [ -n "$codename" ] && ! has_deb_src; then
  shopt -s nullglob
  stanzas=$(deb822_as_source /dev/null /etc/apt/sources.list.d/*.sources)
  lines=$(one_line_as_source /dev/null /etc/apt/sources.list.d/*.list \
          $([ -f /etc/apt/sources.list ] && echo /etc/apt/sources.list))
  shopt -u nullglob
  if [ -n "$stanzas" ]; then
    printf '%s\n' "$stanzas" > "$srcfile"
  elif [ -n "$lines" ]; then
    printf '%s\n' "$lines" > "${srcfile%.sources}.list"
  else
    echo "setup: no Debian entry for $codename in /etc/apt to make a deb-src entry from" >&2
    exit 1
  fi
  need_update=1
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ] || [ ! -d "$deps/zstd" ] || [ ! -d "$deps/libdeflate" ] ||
   [ ! -d "$deps/lua" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Sources for the Windows build from Debian's own source packages: unpacks
# the upstream tarball of PACKAGE into FOLDER unless FILE is already there.
fetch_source() {
  local package=$1 folder=$2 file=$3
  [ -f "$folder/$file" ] && return
  rm -rf "$folder" "$folder-fetch"
  mkdir -p "$folder-fetch"
  (cd "$folder-fetch" && apt-get source --download-only -qq "$package" >/dev/null)
  local orig
  orig=$(ls "$folder-fetch/${package}_"*.orig.tar.* | head -n 1)
  mkdir -p "$folder"
  tar -xf "$orig" -C "$folder" --strip-components=1
  rm -rf "$folder-fetch"
}
fetch_source libzstd "$deps/zstd" lib/zstd.h
fetch_source libdeflate "$deps/libdeflate" libdeflate.h
fetch_source lua5.4 "$deps/lua" src/lua.h
echo "setup: ready"
