#!/bin/bash
# Runs one Windows test program under Wine in a private copy of the build
# tree's booted template prefix, so test programs never share a registry or
# processes and can run in parallel. Wine's output goes to files (services
# started by Wine would otherwise hold a pipe open until the wineserver ends).
#
# usage: wine-run.sh --build DIR [--x] [--timeout SECONDS] PROGRAM [ARGS...]
set -u

build=""; xdisplay=0; limit=${Q5_TEST_TIMEOUT:-500}
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --x) xdisplay=1; shift ;;
    --timeout) limit=$2; shift 2 ;;
    *) break ;;
  esac
done
[ -n "$build" ] && [ $# -ge 1 ] || { echo "usage: $0 --build DIR [--x] PROGRAM [ARGS...]" >&2; exit 2; }

here=$(cd "$(dirname "$0")" && pwd)
wineserver=/usr/lib/wine/wineserver
export WINEDEBUG=${WINEDEBUG:--all}

"$here/wine-template.sh" "$build/wine/template" || exit 1

program=$1; shift
name=$(basename "$program" .exe)
mkdir -p "$build/wine/run"
prefix=$(mktemp -d "$build/wine/run/$name.XXXXXX")
logs=$(mktemp -d "$build/wine/run/$name.logs.XXXXXX")
cleanup() {
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1
  WINEPREFIX="$prefix" "$wineserver" -w >/dev/null 2>&1
  rm -rf "$prefix" "$logs"
}
trap cleanup EXIT
cp -a "$build/wine/template/." "$prefix/"
export WINEPREFIX="$prefix"

run() {
  timeout -k 10 "$limit" wine "$program" "$@" >"$logs/out" 2>"$logs/err" </dev/null
}
attempt() {
  if [ $xdisplay -eq 1 ]; then
    # xvfb-run is a dash script, which drops exported bash functions.
    export program limit logs
    xvfb-run -a -s "-screen 0 1280x1024x24" bash -c "$(declare -f run)"'; run "$@"; rc=$?; '"$wineserver"' -k; exit $rc' run "$@" </dev/null
  else
    run "$@"
  fi
}
attempt "$@"
rc=$?
# Now and then Wine fails to start a process at all; a second start works.
if [ $rc -ne 0 ] && grep -q "failed to map the shared user data" "$logs/err"; then
  echo "wine-run: Wine failed to start $name; starting it again" >&2
  "$wineserver" -k >/dev/null 2>&1; "$wineserver" -w >/dev/null 2>&1
  attempt "$@"
  rc=$?
fi
[ $rc -eq 124 ] && echo "wine-run: $name timed out after ${limit}s" >&2
cat "$logs/out"
grep -v -e '^it looks like wine32 is missing' -e '^multiarch needs' -e '^execute "dpkg' -e '^apt-get install wine32' "$logs/err" >&2
exit $rc
