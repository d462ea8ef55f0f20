#!/bin/bash
# The binary check's columns on a probe program linked as the build links
# the deliverables (a PDB, the image stripped, both in a symbol store):
#  - stack guard and control-flow guard: built with the guards and without
#    them, both with _FORTIFY_SOURCE (which links libssp, the stack guard's
#    runtime, by itself); the stack guard is read from the PDB's publics;
#  - debug id: a CodeView record naming the PDB with the build's path is no;
#  - symbols: a PDB of another build in the image's store folder is no.
#
# usage: binary_check_test.sh CXX TARGET LINKER GUARD_SOURCE
set -u
cxx=$1 target=$2 linker=$(command -v "$3") guard_source=$4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/q5bincheck.XXXXXX")
trap 'rm -rf "$work"' EXIT
cat >"$work/probe.cpp" <<'SRC'
#include <cstdio>
#include <cstring>
int Copy(const char* s) { char b[64]; strcpy(b, s); return b[3]; }
int (*volatile g_pfnCopy)(const char*) = Copy;
int main(int argc, char** argv) { char b[64]; snprintf(b, sizeof b, "%d", argc); puts(b); return g_pfnCopy(argv[0]); }
SRC
guards="-fstack-protector-strong -mguard=cf -Wl,--guard-cf $guard_source"
# link NAME FLAGS...: the probe as q5dmctl64.exe and .pdb in $work/NAME
link() {
  local name=$1; shift
  mkdir -p "$work/$name"
  "$cxx" --target="$target" -fuse-ld=lld --ld-path="$linker" -O2 -g -gcodeview -D_FORTIFY_SOURCE=2 -static -s \
    "-Wl,--pdb=$work/$name/q5dmctl64.pdb" -Wl,-Xlink=-Brepro "$@" "$work/probe.cpp" -lssp -o "$work/$name/q5dmctl64.exe"
}
# shellcheck disable=SC2086  # the flags are words
{ link guarded $guards -Wl,-Xlink=-pdbaltpath:%_PDB% &&
  link plain -Wl,-Xlink=-pdbaltpath:%_PDB% &&
  link fullpath $guards; } || exit 1
# store NAME: the probe NAME as the build's out/bin and out/symbols
store() {
  rm -rf "$work/out" && mkdir -p "$work/out/bin" "$work/out/symbols"
  cp "$work/$1/q5dmctl64.exe" "$work/out/bin/" &&
    python3 "$here/../../tools/symbol_store.py" "$work/out/symbols" "$work/out/bin/q5dmctl64.exe" "$work/$1/q5dmctl64.pdb"
}
# columns FILE COLUMN...: FILE's cells of the table on stdin, joined by ","
columns() {
  python3 -c '
import re, sys
lines = sys.stdin.read().splitlines()
starts = [m.start() for m in re.finditer(r"(?:^|(?<=  ))[^ ]", lines[0])] + [None]
heads = [lines[0][a:b].strip() for a, b in zip(starts, starts[1:])]
for line in lines[1:]:
    cells = dict(zip(heads, (line[a:b].strip() for a, b in zip(starts, starts[1:]))))
    if cells.get("file") == sys.argv[1]:
        print(",".join(cells[c] for c in sys.argv[2:]))' "$@"
}
failed=0
# probe : what is done to the store : stack guard, CFG, debug id, symbols
for case in "guarded::yes,yes,yes,matches" "plain::no,no,yes,matches" "fullpath::yes,yes,no,matches" \
            "guarded:other PDB:-,yes,yes,PDB id differs"; do
  IFS=: read -r probe fault wanted <<<"$case"
  store "$probe" || exit 1
  if [ "$fault" = "other PDB" ]; then
    cp "$work/plain/q5dmctl64.pdb" "$(find "$work/out/symbols/q5dmctl64.pdb" -type f)"
  fi
  got=$(python3 "$here/../../tools/binary-check.py" "$work/out/bin" | columns q5dmctl64.exe "stack guard" CFG "debug id" symbols)
  if [ "$got" = "$wanted" ]; then echo "ok: $probe${fault:+, $fault}: stack guard, CFG, debug id, symbols: $got"
  else echo "FAIL: $probe${fault:+, $fault}: stack guard, CFG, debug id, symbols: '$got', wanted '$wanted'"; failed=1; fi
done
exit $failed
