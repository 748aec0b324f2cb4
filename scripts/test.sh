#!/usr/bin/env bash
# Builds everything and runs the whole test suite for both architectures under Wine, inside
# a virtual X server for the tests that create windows.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KV_BUILD_DIR:-$root/build}

[ -n "${KV_IN_XVFB:-}" ] || bash "$root/scripts/build.sh"

# One virtual display for both architectures: the Wine prefix they share keeps its desktop.
if [ -z "${KV_IN_XVFB:-}" ]; then
  KV_IN_XVFB=1 exec xvfb-run -a -s '-screen 0 1280x1024x24' bash "$0" "$@"
fi

status=0
for arch in x86_64 i686; do
  echo "== tests for $arch"
  (cd "$build/$arch" && ctest --output-on-failure --timeout 300 "$@") || status=1
done
# The release package, made as the main job makes it, unpacked and loaded from there.
echo "== release package"
python3 "$root/tools/package/check_package.py" --build "$build" || status=1
exit $status
