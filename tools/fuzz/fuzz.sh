#!/bin/bash
# The robustness run of the DM server under Wine 10, in a private prefix:
# registers the server and the proxy/stub library, installs the COM port
# database stand-in (64-bit), lets q5fuzz plant its scratch places, pictures
# the prefix, runs harmless calls (to learn Wine's own churn), pictures it
# again, runs the seeded hostile calls and pictures it a third time. Prints
# q5fuzz's report and the side effects outside the scratch places.
#
# usage: tools/fuzz/fuzz.sh [--seed N] [--calls N] [--per-server N] [--limit-ms N]
#                           [--bits 64|32] [--work DIR] [--server DIR] [--short]
#   --short: the seeded run of make test (fixed seed, 120 calls).
#   --server: the folder of the q5dmsrvNN.exe and dmstubNN.dll under test
#             (default out/bin; it must lie inside this checkout).
# Exit code: 0 nothing found, 1 faults found, 2 the run could not be made,
# 77 (--short only) the 32-bit run left out where 32-bit programs cannot run.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
short=0; seed=""; calls=10000; per_server=100; limit_ms=15000; bits=64; work=$root/out/fuzz; server=$root/out/bin
while [ $# -gt 0 ]; do
  case "$1" in
    --seed) seed=$2; shift 2 ;;
    --calls) calls=$2; shift 2 ;;
    --per-server) per_server=$2; shift 2 ;;
    --limit-ms) limit_ms=$2; shift 2 ;;
    --bits) bits=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --server) server=$(cd "$2" && pwd) || exit 2; shift 2 ;;
    --short) short=1; seed=${seed:-1}; calls=120; per_server=40; limit_ms=8000; shift ;;
    *) echo "usage: $0 [--seed N] [--calls N] [--per-server N] [--limit-ms N] [--bits 64|32] [--work DIR] [--server DIR] [--short]" >&2; exit 2 ;;
  esac
done
. "$root/tools/wine10/x86-mode.sh"
. "$root/tools/wine10/prefix.sh"
q5_x86_mode "$root"
q5_x86_line
if [ "$bits" = 32 ] && [ "$Q5_X86_RUNS" = none ]; then
  echo "fuzz: leaves out the 32-bit server: 32-bit programs cannot run here ($Q5_X86_WHY)"
  # make test's short run counts as skipped (77); make fuzz BITS=32 was not
  # made, which "found nothing" would hide.
  [ $short = 1 ] && exit 77
  exit 2
fi
[ -n "$seed" ] || seed=$(( (RANDOM << 15 | RANDOM) % 2000000000 ))
tree=x64; [ "$bits" = 32 ] && tree=x86
bin=$root/build/$tree/tools/bin
standin=$root/build/$tree/tests/platform/bin/msports.dll
for f in "$server/q5dmsrv$bits.exe" "$server/dmstub$bits.dll" "$bin/q5fuzz$bits.exe"; do
  [ -f "$f" ] || { echo "fuzz: $f is missing (make build)" >&2; exit 2; }
done

mkdir -p "$work"
work=$(cd "$work" && pwd)
# The booted Wine 10 prefix that the tests share (one per checkout).
prefix=$work/prefix
logs=$work/logs
# Wine runs as root (through sudo for a user) and only in a prefix of its
# own user.
q5_as_root rm -rf "$prefix" "$logs"
mkdir -p "$logs/harmless" "$logs/run"
scratch='C:\q5fuzz\scratch'

# One Wine 10 session: the commands, then the wait that writes the registry files.
in_wine() {
  WINEPREFIX=$1 WINEDEBUG=-all "$root/tools/wine10/run.sh" bash -c "$2"'
    rc=$?; wineserver -w; exit $rc' >>"$work/wine.log" 2>&1 </dev/null
}

echo "fuzz: seed $seed, $calls calls, up to $per_server per server, $server/q5dmsrv$bits.exe (Wine 10, prefix $prefix)"
: >"$work/wine.log"
q5_prefix_from_template "$prefix" "$work/wine.log" ||
  { echo "fuzz: could not boot a prefix (see $work/wine.log)" >&2; exit 2; }

export FUZZ_BIN=$bin FUZZ_BITS=$bits FUZZ_SCRATCH=$scratch FUZZ_STANDIN="" FUZZ_SYSDIR=system32
export FUZZ_SERVER=$server FUZZ_STUB=$(q5_winpath "$server/dmstub$bits.dll")
[ -f "$standin" ] && FUZZ_STANDIN=$standin
export FUZZ_REGSVR=regsvr32
# The 32-bit server and its libraries come from syswow64.
[ "$bits" = 32 ] && FUZZ_REGSVR='C:\windows\syswow64\regsvr32.exe' FUZZ_SYSDIR=syswow64
in_wine "$prefix" '
  wine "$FUZZ_SERVER/q5dmsrv$FUZZ_BITS.exe" /RegServer &&
  wine "$FUZZ_REGSVR" /s "$FUZZ_STUB" &&
  { [ -z "$FUZZ_STANDIN" ] || cp "$FUZZ_STANDIN" "$WINEPREFIX/drive_c/windows/$FUZZ_SYSDIR/msports.dll"; } &&
  wine "$FUZZ_BIN/q5fuzz$FUZZ_BITS.exe" --setup --scratch "$FUZZ_SCRATCH"' ||
  { echo "fuzz: preparing the prefix failed (see $work/wine.log)" >&2; exit 2; }
python3 "$here/sidefx.py" snapshot "$prefix" "$work/before.json" || exit 2

export FUZZ_HARMLESS_LOGS=$(q5_winpath "$logs/harmless") FUZZ_LOGS=$(q5_winpath "$logs/run")
in_wine "$prefix" 'wine "$FUZZ_BIN/q5fuzz$FUZZ_BITS.exe" --harmless --calls 6 --per-server 3 --scratch "$FUZZ_SCRATCH" \
  --logs "$FUZZ_HARMLESS_LOGS" >"'"$logs"'/harmless.txt" 2>&1'
python3 "$here/sidefx.py" snapshot "$prefix" "$work/mid.json" || exit 2

in_wine "$prefix" 'wine "$FUZZ_BIN/q5fuzz$FUZZ_BITS.exe" --seed '"$seed"' --calls '"$calls"' --per-server '"$per_server"' \
  --limit-ms '"$limit_ms"' --scratch "$FUZZ_SCRATCH" --logs "$FUZZ_LOGS" >"'"$logs"'/report.txt" 2>&1'
run_rc=$?
python3 "$here/sidefx.py" snapshot "$prefix" "$work/after.json" || exit 2

tr -d '\r' <"$logs/report.txt"
com=""; [ -n "$FUZZ_STANDIN" ] && com=--com-ports
python3 "$here/sidefx.py" compare "$work/before.json" "$work/mid.json" "$work/after.json" $com
side_rc=$?
echo "fuzz: server traces in $logs/run; again with: make fuzz SEED=$seed CALLS=$calls"
# A clean run's prefix (over a gigabyte) is of no further use; a faulty
# one's stays for a look.
if [ $run_rc -eq 0 ] && [ $side_rc -eq 0 ]; then q5_as_root rm -rf "$prefix"; exit 0; fi
[ $run_rc -ge 2 ] && ! grep -q 'FOUND FAULTS' "$logs/report.txt" && exit 2
exit 1
