#!/bin/bash
# Cost per trace line of writing every line through to standard output at
# once (LogTrace flushes each text) against leaving lines in the C runtime's
# buffer, with standard output in a file, as when the server's output is
# captured. Runs the build trees' q5tracecost64.exe and q5tracecost32.exe under
# Wine 10 in a prefix of its own; builds nothing (make build first).
#
# usage: tools/bench/trace-cost.sh [LINES [ROUNDS]]   (defaults 20000 and 5)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
# Wine 10 runs both bitnesses; re-enter this script inside its root.
if [ ! -f /.q5-root ]; then exec "$root/tools/wine10/run.sh" "$root/tools/bench/trace-cost.sh" "$@"; fi

lines=${1:-20000}
rounds=${2:-5}
work=$root/out/bench/trace-cost
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
mkdir -p "$work"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

winpath() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

[ -f "$WINEPREFIX/.booted" ] || echo "Booting the prefix $WINEPREFIX ..."
"$root/tests/support/wine-template.sh" "$WINEPREFIX" || exit 1

wine --version >"$work/version.txt" 2>&1 </dev/null || true
echo "Trace line cost ($(head -n 1 "$work/version.txt")):"
status=0
for bits in 64 32; do
  arch=x64; [ "$bits" = 32 ] && arch=x86
  if [ "$bits" = 32 ]; then
    case "${Q5_X86_RUNS:-native}" in
      none) echo "  32-bit: left out, 32-bit programs cannot run here (${Q5_X86_WHY:-})"; continue ;;
      emulated) echo "  32-bit, emulated by qemu-i386 (emulator figures, not ours):" ;;
    esac
  fi
  exe=$root/build/$arch/tools/bin/q5tracecost$bits.exe
  if [ ! -f "$exe" ]; then echo "  $exe is missing (make build)"; status=1; continue; fi
  result=$work/result$bits.txt
  rm -f "$result"
  if ! wine "$exe" "$lines" "$rounds" "$(winpath "$result")" >"$work/lines$bits.txt" 2>"$work/stderr$bits.txt" </dev/null ||
     [ ! -f "$result" ]; then
    echo "  the $bits-bit run failed; see $work/stderr$bits.txt"; status=1; continue
  fi
  sed 's/^/  /' "$result"
  # Every line of both ways must have reached the file.
  written=$(grep -c "^>> DeleteRegKey('HKLM.Software.Q5Bench.Key" "$work/lines$bits.txt" || true)
  expected=$((4 * lines * rounds))
  [ "$written" -eq "$expected" ] || { echo "  only $written of $expected lines reached the file"; status=1; }
done
wineserver -w
exit $status
