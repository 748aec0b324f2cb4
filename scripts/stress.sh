#!/usr/bin/env bash
# Runs the tests of threads, hooks, unloading and the maff: protocol many times in a row for
# both architectures and prints, per test, its runs and failures: a test that fails one run in
# forty fails here.
#
#   bash scripts/stress.sh [-n RUNS] [-a ARCH] [PATTERN]
#
# RUNS runs of each test (default 200, or KV_STRESS_RUNS); ARCH x86_64 or i686 (default both);
# PATTERN keeps only the tests whose Suite.Name matches it (an extended regular expression).
# Logs of failed runs stay in build/<arch>/stress/. Builds first, like the test command.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KV_BUILD_DIR:-$root/build}

runs=${KV_STRESS_RUNS:-200}
arches="x86_64 i686"
pattern=""
args=("$@")
while [ $# -gt 0 ]; do
  case "$1" in
    -n) runs=$2; shift 2 ;;
    -a) arches=$2; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) pattern=$1; shift ;;
  esac
done

[ -n "${KV_IN_XVFB:-}" ] || bash "$root/scripts/build.sh"
# One virtual display for both architectures: they share the Wine prefix, whose server
# belongs to one display (see wine-run.sh).
if [ -z "${KV_IN_XVFB:-}" ]; then
  KV_IN_XVFB=1 exec xvfb-run -a -s '-screen 0 1280x1024x24' bash "$0" "${args[@]}"
fi

# Program, tests (a gtest filter) and how the runs repeat: "repeat" runs them in one process
# (--gtest_repeat); "process" gives every run a fresh process, for the unload tests, where a
# process's first start and unload of the plug-in is what a host meets.
suites=(
  "shell_tests ShellThread.*:TorvShellHook.*:HookCallbackPool.*:TorvCallbackObjList.* repeat"
  "plugin_tests KeyboardHookTest.* repeat"
  "plugin_tests KestrelFormKeys.*:KestrelFormPageInfo.* repeat"
  "exports_tests ViewerKeys.*:ViewerShowFlags.*:ViewerDpi.* repeat"
  "protocol_tests * repeat"
  "exports_tests MaffFetch.* repeat"
  "exports_tests MaffPageHeaders.* repeat"
  "exports_tests Unload.* process"
  "exports_tests MaffCancel.*:MaffPrivacy.*:MaffLeftovers.* process"
  "exports_tests PreviewBitmap.* process"
)

# Lists the tests of a program that match a filter, one Suite.Name a line.
list_tests() {
  ./wine-run.sh "./$1.exe" --gtest_list_tests "--gtest_filter=$2" | tr -d '\r' | awk '
    /^[^ ]/ { suite = $1; next }
    /^  [^ ]/ { print suite $1 }'
}

# Counts the finished runs of one test in a log: "ok failed fatal".
count_runs() {
  local test=$1 log=$2 escaped
  escaped=$(printf '%s' "$test" | sed 's/[][\.*^$/]/\\&/g')
  echo "$(grep -c "^\[       OK \] $escaped (" "$log" || true)" \
       "$(grep -c "^\[  FAILED  \] $escaped (" "$log" || true)" \
       "$(grep -c '^\[  FATAL   \]' "$log" || true)"
}

status=0
for arch in $arches; do
  cd "$build/$arch"
  logs="$build/$arch/stress"
  mkdir -p "$logs"
  echo "== stress runs for $arch ($runs each)"
  printf '%-78s %6s %8s\n' test runs failures
  for suite in "${suites[@]}"; do
    read -r program filter mode <<<"$suite"
    for test in $(list_tests "$program" "$filter"); do
      if [ -n "$pattern" ] && ! [[ $test =~ $pattern ]]; then
        continue
      fi
      done_runs=0
      failures=0
      stalls=0
      log="$logs/$test.log"
      while [ "$done_runs" -lt "$runs" ]; do
        left=$((runs - done_runs))
        if [ "$mode" = process ]; then
          left=1
        fi
        # The programs end a test that hangs themselves (KV_TEST_TIME_LIMIT); the time limit
        # here only catches a process that cannot even start or end.
        set +e
        timeout --kill-after=10 $((120 + left * 120)) ./wine-run.sh "./$program.exe" \
          "--gtest_filter=$test" "--gtest_repeat=$left" >"$log.run" 2>&1
        rc=$?
        set -e
        read -r ok failed fatal <<<"$(count_runs "$test" "$log.run")"
        # A run the program ended (crash, abort, time limit) counts as one failed run.
        if [ "$fatal" -gt 0 ] || { [ "$rc" -ne 0 ] && [ $((ok + failed)) -lt "$left" ]; }; then
          failed=$((failed + 1))
        fi
        if [ "$rc" -ne 0 ] || [ "$failed" -gt 0 ]; then
          cat "$log.run" >>"$log"
        fi
        done_runs=$((done_runs + ok + failed))
        failures=$((failures + failed))
        if [ $((ok + failed)) -eq 0 ]; then
          stalls=$((stalls + 1))
          if [ "$stalls" -ge 3 ]; then
            echo "$test: the program makes no runs (exit $rc); see $log" >&2
            failures=$((failures + left))
            break
          fi
        fi
      done
      rm -f "$log.run"
      [ "$failures" -eq 0 ] && rm -f "$log"
      printf '%-78s %6d %8d\n' "$test" "$done_runs" "$failures"
      [ "$failures" -eq 0 ] || status=1
    done
  done
done
exit $status
