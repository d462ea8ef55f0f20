#!/bin/bash
# Builds the seven programs of this checkout's commit a second time, from a
# clone in a temporary folder (another path, another time), and compares
# with this checkout's: the stripped images in out/bin, the symbol store
# out/symbols (every PDB and image under the same GUID and time stamp
# folders), both MSI packages (made from either tree's images), and,
# when this checkout has no uncommitted changes, the whole release folder
# (tools/release.sh, unsigned). Exit code 1 when anything differs.
#
# usage: tools/repro.sh [--keep]    (--keep: leave the clone for a look)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
keep=${1:-}
programs=$(grep -v '^#' "$root/tools/programs.txt")

commit=$(git -C "$root" rev-parse HEAD)
clean=1
if [ -n "$(git -C "$root" status --porcelain)" ]; then
  echo "repro: the checkout has changes that $commit lacks; out/bin may differ for that reason, and the release is not compared" >&2
  clean=0
fi
tmp=$(mktemp -d "${TMPDIR:-/tmp}/q5repro.XXXXXX")
[ "$keep" = --keep ] || trap 'rm -rf "$tmp"' EXIT
# A clone as anyone else would make it: its own objects, not hard links to
# these (what the release notes read must not depend on the clone).
git clone -q --no-local "$root" "$tmp/src"
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
# same FILE_HERE FILE_THERE NAME
same() {
  local a b
  a=$(sha256sum <"$1" | cut -c1-64)
  b=$(sha256sum <"$2" | cut -c1-64)
  if [ "$a" = "$b" ]; then echo "same     $a  $3"; else echo "DIFFERS  $a  $b  $3"; rc=1; fi
}
for f in $programs; do
  same "$root/out/bin/$f" "$tmp/src/out/bin/$f" "$f"
done
# The stores: the same folders, so the same GUIDs, ages, time stamps and
# sizes, and the same files in them.
store_files() { (cd "$1/out/symbols" && find . -type f | sed 's|^\./||' | LC_ALL=C sort); }
store_here=$(store_files "$root") store_there=$(store_files "$tmp/src")
for file in $(LC_ALL=C comm -3 <(echo "$store_here") <(echo "$store_there")); do
  echo "DIFFERS  symbols/$file is in one store only"; rc=1
done
for file in $(LC_ALL=C comm -12 <(echo "$store_here") <(echo "$store_there")); do
  same "$root/out/symbols/$file" "$tmp/src/out/symbols/$file" "symbols/$file"
done
# With a clean tree the releases below hold both packages and compare them.
[ $clean = 1 ] || for arch in x64 x86; do
  python3 "$root/tools/packaging/make_msi.py" --arch $arch --bin "$root/out/bin" --out "$tmp/msi-here" >/dev/null
  python3 "$tmp/src/tools/packaging/make_msi.py" --arch $arch --bin "$tmp/src/out/bin" --out "$tmp/msi-there" >/dev/null
  same "$tmp/msi-here/q5dm-$arch.msi" "$tmp/msi-there/q5dm-$arch.msi" "q5dm-$arch.msi"
done
# No build folder may be inside, in either build, also as a symbol name
# with "_" for "/" and as a Windows path in a PDB; nor a folder of
# LIBRARY_PATH, which is the machine's (clang puts it on the link line,
# which lld writes into the PDB).
inside() { grep -q -a -F -e "$1" -e "$(tr / _ <<<"$1")" -e "$(tr / '\\' <<<"$1")" "$2"; }
machine() {
  local dir
  for dir in ${LIBRARY_PATH:+${LIBRARY_PATH//:/ }}; do
    [ "${#dir}" -lt 5 ] || ! inside "$dir" "$1" || return 0
  done
  return 1
}
# holds TREE FILE...: the files of TREE's out/ that hold TREE or the machine's folders
holds() {
  local tree=$1 file; shift
  for file in "$@"; do
    if inside "$tree" "$tree/out/$file" || machine "$tree/out/$file"; then
      echo "repro: $file of $tree holds its build folder or a folder of LIBRARY_PATH"; rc=1
    fi
  done
}
bins=$(for f in $programs; do echo "bin/$f"; done)
# shellcheck disable=SC2046  # one file a word
holds "$root" $bins $(sed 's|^|symbols/|' <<<"$store_here")
# shellcheck disable=SC2046
holds "$tmp/src" $bins $(sed 's|^|symbols/|' <<<"$store_there")

# The release of either tree, unsigned; an SDK is made by one tree only.
if [ $clean = 1 ]; then
  here=$tmp/release-here there=$tmp/release-there
  for pair in "$root:$here" "$tmp/src:$there"; do
    env -u SIGN_PFX "${pair%%:*}/tools/release.sh" --no-build --out "${pair#*:}" >"$tmp/release.log" 2>&1 ||
      { echo "repro: the release of ${pair%%:*} failed:"; tail -n 20 "$tmp/release.log"; exit 1; }
  done
  for f in $(cd "$there" && find . -type f ! -path './sdk/*' ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort); do
    same "$here/$f" "$there/$f" "release/$f"
  done
  if ! diff <(grep -v ' sdk/' "$here/SHA256SUMS") <(grep -v ' sdk/' "$there/SHA256SUMS") >/dev/null; then
    echo "DIFFERS  release/SHA256SUMS"; rc=1
  fi
fi
[ $rc -eq 0 ] && echo "repro: the two builds are identical" || echo "repro: the builds differ"
exit $rc
