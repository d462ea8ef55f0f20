#!/bin/bash
# Builds the seven programs of this checkout's commit a second time, from a
# clone in a temporary folder (another path, another time), and compares
# their SHA-256 sums with those in out/bin. Exit code 1 when any differs.
#
# usage: tools/repro.sh [--keep]    (--keep: leave the clone for a look)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
keep=${1:-}
programs="q5dmsrv64.exe q5dmsrv32.exe dmstub64.dll dmstub32.dll Chinese.dll q5dmctl64.exe q5dmctl32.exe"

commit=$(git -C "$root" rev-parse HEAD)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "repro: the checkout has changes that $commit lacks; out/bin may differ for that reason" >&2
fi
tmp=$(mktemp -d "${TMPDIR:-/tmp}/q5repro.XXXXXX")
[ "$keep" = --keep ] || trap 'rm -rf "$tmp"' EXIT
git clone -q "$root" "$tmp/src"
git -C "$tmp/src" checkout -q "$commit"

echo "repro: building $commit again in $tmp/src"
for preset in x86 x64; do
  targets="q5dmsrv dmstub q5dmctl"
  [ $preset = x86 ] && targets="$targets Chinese"
  (cd "$tmp/src" && cmake --preset $preset >"$tmp/configure-$preset.log" 2>&1 &&
    cmake --build --preset $preset --target $targets >"$tmp/build-$preset.log" 2>&1) ||
    { echo "repro: the $preset build failed:"; tail -n 20 "$tmp/build-$preset.log" "$tmp/configure-$preset.log" 2>/dev/null; exit 1; }
done

rc=0
for f in $programs; do
  a=$(sha256sum <"$root/out/bin/$f" | cut -c1-64)
  b=$(sha256sum <"$tmp/src/out/bin/$f" | cut -c1-64)
  if [ "$a" = "$b" ]; then echo "same     $a  $f"; else echo "DIFFERS  $a  $b  $f"; rc=1; fi
done
# No build folder may be inside, in either build, also as a symbol name
# with "_" for "/".
inside() { grep -q -a -F -e "$1" -e "$(tr / _ <<<"$1")" "$2"; }
for f in $programs; do
  if inside "$root" "$root/out/bin/$f" || inside "$tmp" "$tmp/src/out/bin/$f"; then
    echo "repro: $f holds its build folder"; rc=1
  fi
done
[ $rc -eq 0 ] && echo "repro: the two builds are identical" || echo "repro: the builds differ"
exit $rc
