#!/bin/bash
# Cold activation time and call round trip of the DM server under Wine, as
# q5dmctl --repeat measures them: each run activates the class once (COM
# starts a fresh single-use server) and then calls DeleteRegKey with an
# unknown root branch, the cheapest method, N times.
#
# usage: tools/bench.sh [RUNS [CALLS]]   (defaults 5 and 1000)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
calls=${2:-1000}
bin=$root/out/bin
work=$root/out/bench
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
wineserver=/usr/lib/wine/wineserver
mkdir -p "$work"
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT

winpath() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

if [ ! -f "$WINEPREFIX/.q5-booted" ]; then
  echo "Booting the benchmark prefix $WINEPREFIX ..."
  for attempt in 1 2 3; do
    rm -rf "$WINEPREFIX"
    if wineboot -i >"$work/wineboot.log" 2>&1 </dev/null; then
      "$wineserver" -w
      touch "$WINEPREFIX/.q5-booted"
      break
    fi
    "$wineserver" -k >/dev/null 2>&1 || true
  done
  [ -f "$WINEPREFIX/.q5-booted" ] || { echo "could not boot $WINEPREFIX" >&2; exit 1; }
fi
wine "$bin/q5dmsrv64.exe" /RegServer >"$work/reg.txt" 2>&1 </dev/null
wine regsvr32 /s "$(winpath "$bin/dmstub64.dll")" >"$work/regsvr32.txt" 2>&1 </dev/null

wine --version >"$work/version.txt" 2>&1 </dev/null || true
echo "q5dmctl64 --repeat $calls DeleteRegKey HKXX Software, $runs runs ($(head -n 1 "$work/version.txt")):"
: >"$work/activations.txt"
: >"$work/medians.txt"
for run in $(seq 1 "$runs"); do
  out=$work/run$run.txt
  wine "$bin/q5dmctl64.exe" --repeat "$calls" DeleteRegKey HKXX Software >"$out" 2>&1 </dev/null || {
    echo "run $run failed:"; cat "$out"; exit 1; }
  activation=$(sed -n 's/^activation: \([0-9.]*\) ms.*/\1/p' "$out")
  median=$(sed -n 's/.*round trip median \([0-9.]*\) ms.*/\1/p' "$out")
  echo "$activation" >>"$work/activations.txt"
  echo "$median" >>"$work/medians.txt"
  # Under Wine an activation can fail while the previous server still shuts down.
  sleep 1
  printf '  run %d: cold activation %8.1f ms, call round trip median %.3f ms\n' "$run" "$activation" "$median"
done
median_of() { sort -g "$1" | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf 'cold activation (median of %d runs): %.1f ms\n' "$runs" "$(median_of "$work/activations.txt")"
printf 'call round trip (median of the runs'"'"' medians): %.3f ms\n' "$(median_of "$work/medians.txt")"

# Memory: one more run against a server that q5dmctl starts itself, so that
# it can read the server's working set while the object is still held.
out=$work/memory.txt
wine "$bin/q5dmctl64.exe" --trace "$(winpath "$work/memory-trace.txt")" --repeat "$calls" DeleteRegKey HKXX Software \
  >"$out" 2>&1 </dev/null || { echo "memory run failed:"; cat "$out"; exit 1; }
sed -n 's/^server memory: /server memory after '"$calls"' calls: /p' "$out"
