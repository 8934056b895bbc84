#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine (run as root),
# and fetches the zstd and libdeflate sources for the Windows build.
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
  clang libclang-rt-14-dev
  dpkg-dev xz-utils
  osslsigncode openssl zip
  strace time hyperfine
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# apt-get source needs a deb-src entry for bookworm main.
srcfile=/etc/apt/sources.list.d/zovari-deb-src.sources
need_update=0
if [ ! -f "$srcfile" ] && ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ ; then
  cat > "$srcfile" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_update=1
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ] || [ ! -d "$deps/zstd" ] || [ ! -d "$deps/libdeflate" ]; then
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
echo "setup: ready"
