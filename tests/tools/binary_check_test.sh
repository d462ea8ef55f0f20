#!/bin/bash
# The binary check's stack guard column tells a program built with the
# guard from one built without it, both with _FORTIFY_SOURCE (which links
# libssp, the guard's runtime, by itself). Built and stripped as the build
# strips the deliverables.
#
# usage: binary_check_test.sh CXX OBJCOPY
set -u
cxx=$1 objcopy=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/q5bincheck.XXXXXX")
trap 'rm -rf "$work"' EXIT
cat >"$work/probe.cpp" <<'SRC'
#include <cstdio>
#include <cstring>
int Copy(const char* s) { char b[64]; strcpy(b, s); return b[3]; }
int main(int argc, char** argv) { char b[64]; snprintf(b, sizeof b, "%d", argc); puts(b); return Copy(argv[0]); }
SRC
failed=0
for case in "-fstack-protector-strong:yes" ":no"; do
  flag=${case%%:*} wanted=${case##*:}
  rm -rf "$work/out" && mkdir -p "$work/out/bin" "$work/out/symbols"
  "$cxx" -O2 $flag -D_FORTIFY_SOURCE=2 -static -Wl,--build-id "$work/probe.cpp" -lssp -o "$work/probe.exe" || exit 1
  "$objcopy" --only-keep-debug "$work/probe.exe" "$work/out/symbols/q5dmctl64.exe.debug" &&
    "$objcopy" --strip-all --add-gnu-debuglink="$work/out/symbols/q5dmctl64.exe.debug" "$work/probe.exe" "$work/out/bin/q5dmctl64.exe" || exit 1
  got=$(python3 "$here/../../tools/binary-check.py" "$work/out/bin" | awk '$1 == "q5dmctl64.exe" { print $7 }')
  if [ "$got" = "$wanted" ]; then echo "ok: built with '${flag:-no guard}': stack guard $got"
  else echo "FAIL: built with '${flag:-no guard}': stack guard '$got', wanted $wanted"; failed=1; fi
done
exit $failed
