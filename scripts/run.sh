#!/usr/bin/env bash
# The main job: builds everything, lays out dist/ as a user installs it, and loads each plug-in
# in the lister host as a file manager would.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KV_BUILD_DIR:-$root/build}
dist=$root/dist

bash "$root/scripts/build.sh"

mkdir -p "$dist"
cp "$build/x86_64/kestrelview.wlx64" "$build/x86_64/7z.64.dll" "$dist/"
cp "$build/i686/kestrelview.wlx" "$build/i686/7z.32.dll" "$dist/"
cp "$root/tools/Kestrelview.ini.sample" "$dist/Kestrelview.ini.sample"
if [ -d "$build/x86_64/fixtures" ] && [ -f "$build/x86_64/fixtures/sample.maff" ]; then
  cp "$build/x86_64/fixtures/sample.maff" "$dist/"
fi

winpath() { echo "Z:${1//\//\\}"; }
# The host shows the viewer in a window of its own: without a display, give it a virtual one.
display=()
if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
  display=(xvfb-run -a -s '-screen 0 1280x1024x24')
fi
run_host() {
  if [ ${#display[@]} -gt 0 ]; then
    # Wine's desktop process outlives the host and reports the end of the virtual display.
    "${display[@]}" "$@" 2> >(grep -v '^X connection to .* broken' >&2)
  else
    "$@"
  fi
}
for arch in x86_64 i686; do
  plugin=kestrelview.wlx64
  [ "$arch" = i686 ] && plugin=kestrelview.wlx
  echo "== $arch"
  if [ -f "$dist/sample.maff" ]; then
    # The pages of the sample archive, as the viewer's drop-down list shows them.
    run_host "$build/$arch/wine-run.sh" "$build/$arch/lister-host.exe" \
      "$(winpath "$dist/$plugin")" "$(winpath "$dist/sample.maff")"
  else
    "$build/$arch/wine-run.sh" "$build/$arch/lister-host.exe" "$(winpath "$dist/$plugin")"
  fi
done
