#!/bin/bash
# The DM server against a floor measured side by side in the same run, under
# Wine 10 (WoW64: 32- and 64-bit programs), with the whole prefix (the
# wineserver included) pinned to one CPU: unpinned, per-call times of any
# server jump between runs by a factor of five on a shared 2-core machine.
#
#   the floor      tools/bench/floor: q5floor, a server of the same class that
#                  registers the same way and does nothing in its methods,
#                  q5floor /trace, which writes the one trace line per
#                  call that the real server writes, and q5floor /contract,
#                  which also does bare what the contract asks of every
#                  activation (the contract's floor); activations are timed
#                  by a bare client, q5floorclient
#   rounds         interleaved: ours, floor, floor+trace, then the next
#                  round starting one further on, and so on
#   figures        median [min-max] of the rounds and the ratio ours/floor
#                  taken round by round
#
# Pieces (tools/bench/pieces/*.sh, in name order): ours against the floor;
# activation of a running server with extra idle processes against the
# floor; two sweeping operations against a bare loop of their platform
# calls; the four client/server pairs. Then tools/bench/trace-cost.sh when it exists.
#
# usage: tools/bench.sh [--rounds N] [--calls N] [--pair-rounds N]
#                       [--op-rounds N] [--op-calls N] [--keys "1000 5000"]
#                       [--extra N] [--act-rounds N] [--act-each N]
#                       [--act-extra "0 20 60"]
#                       [--only PIECE] [--baseline EXE]
#   defaults: 9 rounds, 2000 calls, 3 pair rounds, 5 operation rounds of 5
#   calls, 1000 and 5000 keys, 60 extra processes, 7 activation rounds of 5
#   activations with 0, 20 and 60 extra processes; about 10 minutes.
#   --baseline names another build's q5dmsrv64.exe (a Linux path), which the
#   first two pieces measure in the same interleaved rounds, for a
#   before/after comparison.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)

if [ "${Q5_BENCH_PINNED:-}" != 1 ]; then
  # wine's and the wineserver's CPU is the one this shell gives them.
  command -v taskset >/dev/null || { echo "bench: taskset (util-linux) is missing" >&2; exit 1; }
  . "$root/tools/wine10/x86-mode.sh"
  q5_x86_mode "$root"
  q5_x86_line
  start=$(date +%s)
  Q5_BENCH_PINNED=1 taskset -c 0 "$root/tools/wine10/run.sh" bash "$root/tools/bench.sh" "$@"
  if [ -f "$root/tools/bench/trace-cost.sh" ]; then
    echo
    echo "=== Trace cost per line (tools/bench/trace-cost.sh, pinned to CPU 0) ==="
    taskset -c 0 bash "$root/tools/bench/trace-cost.sh" || echo "(trace-cost.sh failed: exit code $?)"
  fi
  echo
  echo "bench: $(( $(date +%s) - start )) s in all"
  exit 0
fi

export Q5_ROOT=$root
export Q5_BIN=$root/out/bin
export Q5_TOOLS64=$root/build/x64/tools/bin
export Q5_TOOLS32=$root/build/x86/tools/bin
export Q5_WORK=$root/out/bench
export WINEPREFIX=$Q5_WORK/prefix-wine10
export WINEDEBUG=-all
Q5_ROUNDS=9; Q5_CALLS=2000; Q5_PAIR_ROUNDS=3; Q5_OP_ROUNDS=5; Q5_OP_CALLS=5; Q5_KEYS="1000 5000"; Q5_EXTRA=60
Q5_ACT_ROUNDS=7; Q5_ACT_EACH=5; Q5_ACT_EXTRA="0 20 60"; only=""; Q5_BASELINE=""
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) Q5_ROUNDS=$2; shift 2 ;;
    --calls) Q5_CALLS=$2; shift 2 ;;
    --pair-rounds) Q5_PAIR_ROUNDS=$2; shift 2 ;;
    --op-rounds) Q5_OP_ROUNDS=$2; shift 2 ;;
    --op-calls) Q5_OP_CALLS=$2; shift 2 ;;
    --keys) Q5_KEYS=$2; shift 2 ;;
    --extra) Q5_EXTRA=$2; shift 2 ;;
    --act-rounds) Q5_ACT_ROUNDS=$2; shift 2 ;;
    --act-each) Q5_ACT_EACH=$2; shift 2 ;;
    --act-extra) Q5_ACT_EXTRA=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --baseline) Q5_BASELINE=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    *) echo "usage: tools/bench.sh [--rounds N] [--calls N] [--pair-rounds N] [--op-rounds N] [--op-calls N] [--keys LIST] [--extra N] [--act-rounds N] [--act-each N] [--act-extra LIST] [--only PIECE] [--baseline EXE]" >&2; exit 2 ;;
  esac
done
export Q5_ROUNDS Q5_CALLS Q5_PAIR_ROUNDS Q5_OP_ROUNDS Q5_OP_CALLS Q5_KEYS Q5_EXTRA Q5_ACT_ROUNDS Q5_ACT_EACH Q5_ACT_EXTRA Q5_BASELINE
[ -z "$Q5_BASELINE" ] || [ -f "$Q5_BASELINE" ] || { echo "bench: $Q5_BASELINE is missing" >&2; exit 1; }
for f in q5dmsrv64.exe q5dmsrv32.exe dmstub64.dll dmstub32.dll q5dmctl64.exe q5dmctl32.exe; do
  [ -f "$Q5_BIN/$f" ] || { echo "bench: $Q5_BIN/$f is missing (make build)" >&2; exit 1; }
done
for f in "$Q5_TOOLS64/q5floor64.exe" "$Q5_TOOLS64/q5floorops64.exe" "$Q5_TOOLS64/q5floorclient64.exe" \
  "$Q5_TOOLS32/q5floor32.exe" "$Q5_TOOLS32/q5floorclient32.exe"; do
  [ -f "$f" ] || { echo "bench: $f is missing (make build)" >&2; exit 1; }
done
# A run that measures nothing says so rather than ending as if it had.
pieces=()
for piece in "$root"/tools/bench/pieces/[1-9]*.sh; do
  [ -e "$piece" ] || continue
  if [ -n "$only" ] && [[ "$(basename "$piece")" != *"$only"* ]]; then continue; fi
  pieces+=("$piece")
done
[ ${#pieces[@]} -gt 0 ] || { echo "bench: no piece in $root/tools/bench/pieces${only:+ whose name holds \"$only\"}" >&2; exit 2; }
mkdir -p "$Q5_WORK"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

. "$root/tools/wine10/prefix.sh"

[ -f "$WINEPREFIX/.booted" ] || echo "Booting the benchmark prefix $WINEPREFIX (once, about a minute) ..."
"$root/tests/support/wine-template.sh" "$WINEPREFIX" || exit 1
# With no program of its own running, the wineserver starts ending the
# prefix's services about two seconds after the last one has ended, and a
# program that starts just then fails ("wine client error: recvmsg:
# Connection reset by peer"). A persistent one, started once the template's
# own has ended, serves the whole run; the trap above ends it.
wineserver -w
wineserver -p

# Each server in its own registry view, each proxy/stub by a registering
# process of its own bitness.
wine "$Q5_BIN/q5dmsrv64.exe" /RegServer >"$Q5_WORK/reg64.txt" 2>&1 </dev/null
wine regsvr32 /s "$(q5_winpath "$Q5_BIN/dmstub64.dll")" >"$Q5_WORK/regsvr64.txt" 2>&1 </dev/null
if [ "$Q5_X86_RUNS" != none ]; then
  wine "$Q5_BIN/q5dmsrv32.exe" /RegServer >"$Q5_WORK/reg32.txt" 2>&1 </dev/null
  wine 'C:\windows\syswow64\regsvr32.exe' /s "$(q5_winpath "$Q5_BIN/dmstub32.dll")" >"$Q5_WORK/regsvr32.txt" 2>&1 </dev/null
fi
wine --version >"$Q5_WORK/version.txt" 2>&1 </dev/null || true
echo "DM server benchmark: $(head -n 1 "$Q5_WORK/version.txt"), WoW64 prefix, pinned to CPU $(taskset -pc $$ | sed 's/.*: //'), 32-bit programs $Q5_X86_RUNS"

. "$root/tools/bench/pieces/00-lib.sh"
for piece in "${pieces[@]}"; do
  # shellcheck source=/dev/null
  . "$piece"
done
