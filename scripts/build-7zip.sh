#!/usr/bin/env bash
# Builds the 7-Zip format library (7z.dll) for both architectures from Debian's source package,
# with the same cross compilers as the plug-in. Results are cached outside the work tree, so a
# second build (or a fresh clone on the same machine) does no work.
# Prints the cache folder: <cache>/x86_64/7z.dll and <cache>/i686/7z.dll, with <cache>/source.txt
# (the source package, its version and the build options) and the source's licence texts in
# <cache>/licence/, which the release package's notices are made from.
set -euo pipefail

pinned=${KV_7ZIP_VERSION:-22.01+really26.02+dfsg-0+deb12u1}
root=${KV_CACHE_DIR:-/var/cache/kestrelview}
version=$pinned
cache=$root/7zip-$version
# Passed to the library's make file; source.txt repeats it for the notices.
options=DISABLE_RAR=1

# What the libraries in $cache were built from, written once beside them (also for a cache
# made before this record existed, as long as its source is still there).
record_source() {
  [ -f "$cache/source.txt" ] && return 0
  [ -f "$cache/src/C/7zVersion.h" ] || { echo "no 7-Zip source in $cache/src" >&2; return 1; }
  local upstream
  upstream=$(sed -n 's/^#define MY_VERSION_NUMBERS "\(.*\)"/\1/p' "$cache/src/C/7zVersion.h")
  mkdir -p "$cache/licence"
  # Whole files only, even when two builds record at once.
  local f
  for f in License.txt copying.txt; do
    cp "$cache/src/DOC/$f" "$cache/licence/$f.tmp.$$"
    mv "$cache/licence/$f.tmp.$$" "$cache/licence/$f"
  done
  printf 'package=7zip\nversion=%s\nupstream=%s\noptions=%s\n' "$version" "$upstream" "$options" \
    >"$cache/source.txt.tmp.$$"
  mv "$cache/source.txt.tmp.$$" "$cache/source.txt"
}

if [ -f "$cache/x86_64/7z.dll" ] && [ -f "$cache/i686/7z.dll" ]; then
  record_source
  echo "$cache"
  exit 0
fi

# The archive drops a source version once a newer one replaces it: then build the newest
# one offered, and say so.
if ! apt-cache showsrc 7zip 2>/dev/null | grep -qx "Version: $pinned"; then
  newest=$(apt-cache showsrc 7zip 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n 1)
  if [ -n "$newest" ]; then
    echo "7zip source $pinned is not offered; building $newest instead" >&2
    version=$newest
    cache=$root/7zip-$version
    if [ -f "$cache/x86_64/7z.dll" ] && [ -f "$cache/i686/7z.dll" ]; then
      record_source
      echo "$cache"
      exit 0
    fi
  fi
fi

mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
src="$cache/src"
if [ ! -d "$src/CPP/7zip/Bundles/Format7zF" ]; then
  rm -rf "$cache/fetch" && mkdir -p "$cache/fetch"
  (cd "$cache/fetch" && apt-get source -q "7zip=$version" >&2)
  rm -rf "$src"
  mv "$(find "$cache/fetch" -mindepth 1 -maxdepth 1 -type d | head -n 1)" "$src"
  rm -rf "$cache/fetch"
fi

for arch in x86_64 i686; do
  [ -f "$cache/$arch/7z.dll" ] && continue
  ldflags=-Wl,--no-insert-timestamp
  [ "$arch" = i686 ] && ldflags="$ldflags -Wl,--enable-stdcall-fixup"
  echo "building 7z.dll for $arch (a few minutes, once per machine)" >&2
  make -C "$src/CPP/7zip/Bundles/Format7zF" -f ../../cmpl_gcc.mak -j"$(nproc)" \
    IS_MINGW=1 MSYSTEM=MINGW CROSS_COMPILE="$arch-w64-mingw32-" RC="$arch-w64-mingw32-windres" \
    $options LFLAGS_STRIP=-s LDFLAGS_STATIC_3="$ldflags" O="b/$arch" >"$cache/build-$arch.log" 2>&1 ||
    { tail -n 40 "$cache/build-$arch.log" >&2; exit 1; }
  mkdir -p "$cache/$arch"
  cp "$src/CPP/7zip/Bundles/Format7zF/b/$arch/7z.dll" "$cache/$arch/7z.dll.tmp"
  mv "$cache/$arch/7z.dll.tmp" "$cache/$arch/7z.dll"
done
record_source
echo "$cache"
