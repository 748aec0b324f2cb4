#!/usr/bin/env bash
# Installs what is missing, builds the archive library once per machine, then builds the
# plug-in, the tools and the tests for both architectures into build/<arch>.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KV_BUILD_DIR:-$root/build}

bash "$root/scripts/setup.sh"
sevenzip=$(bash "$root/scripts/build-7zip.sh")

for arch in x86_64 i686; do
  dir="$build/$arch"
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" \
      -DCMAKE_BUILD_TYPE=Release \
      -DKV_7ZIP_DLL="$sevenzip/$arch/7z.dll" \
      -DKV_WINEPREFIX="$build/wineprefix" >/dev/null
  fi
  cmake --build "$dir"
done
