#!/usr/bin/env bash
# Installs everything the build and the tests use on a Debian 12 machine.
# Idempotent: when every package is present it does nothing and takes well under a second.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  cmake ninja-build make python3 dpkg-dev googletest
  wine wine64 wine32:i386 xvfb xauth
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

need_src=0
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  need_src=1
fi

if [ ${#missing[@]} -eq 0 ] && [ $need_src -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi

# The 7-Zip library is built from Debian's source package, which needs deb-src entries.
if [ $need_src -eq 1 ]; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/kestrelview-src.sources >/dev/null
  else
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/kestrelview-src.list >/dev/null
  fi
fi

export DEBIAN_FRONTEND=noninteractive
# A mirror caught mid-sync fails one index now and then: try again, and go on with what was
# fetched when it keeps failing (the install below says whether anything is really missing).
for attempt in 1 2 3; do
  "${sudo_cmd[@]}" apt-get update -q && break
  [ $attempt -lt 3 ] && sleep 5 || true
done
"${sudo_cmd[@]}" apt-get install -y -q "${packages[@]}"
