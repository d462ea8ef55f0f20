#!/bin/bash
# Makes the release of this checkout's commit in out/release/: both MSI
# packages (signed when SIGN_PFX names a certificate, as make packages
# signs), the SDK folder where the build has one, the symbol store as an
# archive, the bill of materials (SPDX 2.3 JSON), release notes from the
# commits since the version was set, and SHA256SUMS of all of it. Two runs of one
# commit give the same files apart from the signatures.
#
# usage: tools/release.sh [--out DIR] [--no-build]
#   SIGN_PFX, SIGN_PASS / SIGN_PASS_FILE, SIGN_TS_URL: as for make packages.
#   --no-build: the build is already made (make repro's second tree).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/out/release build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    *) echo "usage: $0 [--out DIR] [--no-build]" >&2; exit 2 ;;
  esac
done
cd "$root"

# A release is made of a commit, nothing else.
if [ -n "$(git status --porcelain)" ]; then
  echo "release: the checkout has uncommitted changes; commit or stash them first:" >&2
  git status --short >&2
  exit 1
fi
commit=$(git rev-parse HEAD)
seconds=$(git show -s --format=%ct "$commit")

if [ $build = 1 ]; then
  make sdk  # builds first
fi
version=$(python3 tools/packaging/make_msi.py --print-version)

rm -rf "$out"
mkdir -p "$out"
stage=$(mktemp -d "${TMPDIR:-/tmp}/q5release.XXXXXX")
trap 'rm -rf "$stage"' EXIT

tools/packaging/packages.sh --bin out/bin --out "$stage/packages" ${SIGN_PFX:+--sign "$SIGN_PFX"}
cp "$stage"/packages/q5dm-x64.msi "$stage"/packages/q5dm-x86.msi "$out/"
[ ! -d out/sdk ] || cp -r out/sdk "$out/sdk"

# The symbol store (PDBs and images), in an archive whose bytes depend on
# their contents only.
tools/packaging/symbols-archive.sh out "$out/q5dm-symbols.tar.gz" "$seconds"

python3 tools/packaging/sbom.py --bin out/bin --build build/x64 --build build/x86 \
  --version "$version" --commit "$commit" --time "$seconds" ${SIGN_PFX:+--signed} >"$out/q5dm.spdx.json"

tools/packaging/release-notes.sh "$commit" "$version" >"$out/RELEASE-NOTES.txt"

(cd "$out" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs -d '\n' sha256sum >SHA256SUMS)
echo "release: $version ($commit) in $out"
[ -n "${SIGN_PFX:-}" ] || echo "release: no certificate (SIGN_PFX): the packages are NOT signed"
