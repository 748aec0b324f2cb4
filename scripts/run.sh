#!/usr/bin/env bash
# The main job: builds everything, lays out dist/ as a user installs it, makes the release
# package dist/kestrelview-<version>.zip, and loads each plug-in in the lister host as a file
# manager would.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KV_BUILD_DIR:-$root/build}
dist=$root/dist

if [ "${1:-}" != --hosts-only ]; then
  bash "$root/scripts/build.sh"
  mkdir -p "$dist"
  cp "$build/x86_64/kestrelview.wlx64" "$build/x86_64/7z.64.dll" "$dist/"
  cp "$build/i686/kestrelview.wlx" "$build/i686/7z.32.dll" "$dist/"
  cp "$root/tools/Kestrelview.ini.sample" "$dist/Kestrelview.ini.sample"
  cp "$build/x86_64/fixtures/sample.maff" "$dist/"
  # The package a user installs in one step; a package of an earlier version would mislead.
  rm -f "$dist"/kestrelview-*.zip
  python3 "$root/tools/package/make_package.py" --build "$build" --out "$dist"
fi

winpath() { echo "Z:${1//\//\\}"; }

# The host shows the viewer in a window of its own: without a display, run it on a virtual one
# (one for both architectures).
if [ -z "${DISPLAY:-}" ] && [ -z "${KV_IN_XVFB:-}" ] && command -v xvfb-run >/dev/null; then
  # Wine's desktop process outlives the host and reports the end of the virtual display.
  KV_IN_XVFB=1 xvfb-run -a -s '-screen 0 1280x1024x24' bash "$0" --hosts-only \
    2> >(grep -v '^X connection to .* broken' >&2)
  exit
fi
for arch in x86_64 i686; do
  plugin=kestrelview.wlx64
  [ "$arch" = i686 ] && plugin=kestrelview.wlx
  echo "== $arch"
  # The pages of the sample archive, as the viewer's drop-down list shows them, and its first
  # page fetched through the plug-in's maff: scheme as the browser fetches it.
  "$build/$arch/wine-run.sh" "$build/$arch/lister-host.exe" \
    "$(winpath "$dist/$plugin")" "$(winpath "$dist/sample.maff")" \
    --fetch 'maff://0*1704164646001_101/index.html'
done
