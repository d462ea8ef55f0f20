#!/bin/bash
# The binary check's stack guard and control-flow guard columns tell a
# program built with the guards from one built without them, both with
# _FORTIFY_SOURCE (which links libssp, the stack guard's runtime, by
# itself). Built, linked and stripped as the build does the deliverables.
#
# usage: binary_check_test.sh CXX TARGET LINKER OBJCOPY GUARD_SOURCE
set -u
cxx=$1 target=$2 linker=$(command -v "$3") objcopy=$4 guard_source=$5
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
failed=0
# flags : stack guard : CFG
for case in "-fstack-protector-strong -mguard=cf -Wl,--guard-cf $guard_source:yes:yes" ":no:no"; do
  IFS=: read -r flags wanted_stack wanted_cfg <<<"$case"
  rm -rf "$work/out" && mkdir -p "$work/out/bin" "$work/out/symbols"
  # shellcheck disable=SC2086  # the flags are words
  "$cxx" --target="$target" -fuse-ld=lld --ld-path="$linker" -O2 $flags -D_FORTIFY_SOURCE=2 -static -Wl,--build-id \
    "$work/probe.cpp" -lssp -o "$work/probe.exe" || exit 1
  "$objcopy" --only-keep-debug "$work/probe.exe" "$work/out/symbols/q5dmctl64.exe.debug" &&
    "$objcopy" --strip-all --add-gnu-debuglink="$work/out/symbols/q5dmctl64.exe.debug" "$work/probe.exe" "$work/out/bin/q5dmctl64.exe" || exit 1
  got=$(python3 "$here/../../tools/binary-check.py" "$work/out/bin" | awk '$1 == "q5dmctl64.exe" { print $7, $8 }')
  if [ "$got" = "$wanted_stack $wanted_cfg" ]; then echo "ok: built with '${flags:-no guards}': stack guard, CFG: $got"
  else echo "FAIL: built with '${flags:-no guards}': stack guard, CFG: '$got', wanted $wanted_stack $wanted_cfg"; failed=1; fi
done
exit $failed
