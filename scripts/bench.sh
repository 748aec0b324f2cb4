#!/usr/bin/env bash
# Prints the benchmark figures for both architectures, after building everything: the cost of
# showing a page of 200 resources from archives of 250 to 50,000 items (maff-bench page), and of
# listing the pages of archives of one and of 1,000 saved pages (maff-bench list).
# Everything runs on one CPU, the Wine server included: under Wine a round trip to the server
# costs several times more when the two run on different CPUs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KV_BUILD_DIR:-$root/build}

[ -n "${KV_IN_XVFB:-}" ] || bash "$root/scripts/build.sh"
if [ -z "${KV_IN_XVFB:-}" ]; then
  KV_IN_XVFB=1 exec xvfb-run -a -s '-screen 0 1280x1024x24' bash "$0" "$@"
fi

python3 "$root/tools/bench/make_archives.py" "$build/bench"
winpath() { echo "Z:${1//\//\\}"; }
archives=()
for n in 250 1000 10000 50000; do archives+=("$(winpath "$build/bench/bench-$n.maff")"); done
listed=()
for n in 1 1000; do listed+=("$(winpath "$build/bench/pages-$n.maff")"); done

for arch in x86_64 i686; do
  plugin=kestrelview.wlx64
  [ "$arch" = i686 ] && plugin=kestrelview.wlx
  echo "== $arch"
  # A Wine server left from an earlier run would keep running on any CPU.
  WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true
  taskset -c 0 "$build/$arch/wine-run.sh" "$build/$arch/maff-bench.exe" \
    "$(winpath "$build/$arch/$plugin")" page "${archives[@]}" 2> >(grep -v 'Wine Gecko' >&2)
  taskset -c 0 "$build/$arch/wine-run.sh" "$build/$arch/maff-bench.exe" \
    "$(winpath "$build/$arch/$plugin")" list "${listed[@]}" 2> >(grep -v 'Wine Gecko' >&2)
done
