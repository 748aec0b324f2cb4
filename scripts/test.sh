#!/usr/bin/env bash
# Builds everything and runs the whole test suite for both architectures under Wine, inside
# a virtual X server for the tests that create windows.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KV_BUILD_DIR:-$root/build}

bash "$root/scripts/build.sh"

status=0
for arch in x86_64 i686; do
  echo "== tests for $arch"
  (cd "$build/$arch" && xvfb-run -a -s '-screen 0 1280x1024x24' \
      ctest --output-on-failure --timeout 300 "$@") || status=1
done
exit $status
