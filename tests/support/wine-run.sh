#!/bin/bash
# Runs one Windows test program (32- or 64-bit) under Wine 10 in a private
# copy of the build tree's booted template prefix, so test programs never
# share a registry or processes and can run in parallel. Wine's output goes
# to files (services started by Wine would otherwise hold a pipe open until
# the wineserver ends). Wine 10 lives in a root of its own
# (tools/wine10/run.sh); this script enters it and runs there.
#
# usage: wine-run.sh --build DIR [--x] [--timeout SECONDS] PROGRAM [ARGS...]
set -u
here=$(cd "$(dirname "$0")" && pwd)

# The test program: the first argument after the options.
program_of() {
  while [ $# -gt 0 ]; do
    case "$1" in --build|--timeout) shift 2 ;; --x|--inside) shift ;; *) printf '%s' "$1"; return ;; esac
  done
}
# The PE header's machine field: 0x14c for i386.
is_x86_program() {
  local at; at=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$at" ] && [ "$(od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' ')" = 014c ]
}
runner=$here/../../tools/wine10/run.sh
if [ ! -f /.q5-root ]; then
  . "$here/../../tools/wine10/x86-mode.sh"
  q5_x86_mode "$here/../.."
  if [ "$Q5_X86_RUNS" = none ] && is_x86_program "$(program_of "$@")"; then
    echo "skipped: 32-bit programs cannot run here: $Q5_X86_WHY"
    exit 77
  fi
  # The virtual X server runs on this side; the root sees its socket.
  if [ "${1:-}" != --inside ] && printf '%s\n' "$@" | grep -qx -- --x; then
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$runner" "$here/wine-run.sh" --inside "$@" </dev/null
  fi
  exec "$runner" "$here/wine-run.sh" --inside "$@"
fi
[ "${1:-}" = --inside ] && shift

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

build=$(cd "$build" && pwd)
wineserver=wineserver
export WINEDEBUG=${WINEDEBUG:--all}

# One booted template serves both build trees: a WoW64 prefix runs both
# bitnesses' programs.
template=$(dirname "$build")/wine10/template
"$here/wine-template.sh" "$template" || exit 1

program=$1; shift
name=$(basename "$program" .exe)
mkdir -p "$build/wine10/run"
prefix=$(mktemp -d "$build/wine10/run/$name.XXXXXX")
logs=$(mktemp -d "$build/wine10/run/$name.logs.XXXXXX")
layer=""
cleanup() {
  WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1
  WINEPREFIX="$prefix" "$wineserver" -w >/dev/null 2>&1
  [ -n "$layer" ] && umount "$prefix" 2>/dev/null
  rm -rf "$prefix" "$logs" "$layer"
}
trap cleanup EXIT
# The prefix is the template seen through a writable layer of its own: a
# WoW64 prefix holds 1.4 GB that a copy would write again for every test.
# This mount lives in the runner's private namespace only.
layer=$(mktemp -d "$build/wine10/run/$name.layer.XXXXXX")
mkdir -p "$layer/upper" "$layer/work"
if ! mount -t overlay overlay -o "lowerdir=$template,upperdir=$layer/upper,workdir=$layer/work" "$prefix" 2>/dev/null; then
  rm -rf "$layer"; layer=""
  cp -a "$template/." "$prefix/"
fi
export WINEPREFIX="$prefix"

# record_skips OUTPUT: "program<TAB>Suite.Test<TAB>reason" per test that
# GoogleTest skipped, for make test's closing summary.
record_skips() {
  awk -v program="$name" '
    { sub(/\r$/, "") }
    /^\[ RUN      \] / { test = $4; reason = "" }
    /: Skipped$/ { getline reason; sub(/\r$/, "", reason) }
    /^\[  SKIPPED \] .* \([0-9]+ ms\)/ { print program "\t" test "\t" reason }' "$1"
}
run() {
  timeout -k 10 "$limit" wine "$program" "$@" >"$logs/out" 2>"$logs/err" </dev/null
}
attempt() {
  run "$@"
  local rc=$?
  # Windows under a virtual X server let go of it before it ends.
  [ $xdisplay -eq 1 ] && "$wineserver" -k >/dev/null 2>&1
  return $rc
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
record_skips "$logs/out" >>"$(dirname "$build")/wine10/skipped.txt"
# WoW64 mode announces itself once per 32-bit process.
grep -v -e 'in experimental wow64 mode' "$logs/err" >&2
exit $rc
