#!/bin/bash
# The release's pieces that a clone or a user's machine could change:
#  - the symbols archive, unpacked by an ordinary user (not root, not the
#    owner of the files packed), who must read every file in every folder;
#  - the release notes of one commit from two clones made as anyone makes
#    them (git clone --no-local), one of which holds a tag of its own.
# Exit code 77 (skipped) when no ordinary user is at hand.
#
# usage: release-test.sh SOURCE_DIR
set -u
source_dir=$1
tools=$source_dir/tools/packaging
work=$(mktemp -d "${TMPDIR:-/tmp}/q5release.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
ok() { echo "ok: $*"; }
bad() { echo "FAIL: $*"; failed=1; }

# Runs a command as an ordinary user: root steps down to nobody.
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  command -v setpriv >/dev/null || { echo "skipped: root without setpriv has no ordinary user to unpack as"; exit 77; }
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
fi

# A symbols folder laid out as a symbol store: folders two deep.
mkdir -p "$work/out/symbols/q5dmsrv64.pdb/0123456789ABCDEF0123456789ABCDEF1" "$work/out/symbols/q5dmsrv64.exe/000000001A000"
echo pdb >"$work/out/symbols/q5dmsrv64.pdb/0123456789ABCDEF0123456789ABCDEF1/q5dmsrv64.pdb"
echo exe >"$work/out/symbols/q5dmsrv64.exe/000000001A000/q5dmsrv64.exe"
chmod -R go-rwx "$work/out/symbols"
"$tools/symbols-archive.sh" "$work/out" "$work/symbols.tar.gz" 1700000000 || { bad "packing the symbols"; exit 1; }
mkdir "$work/unpacked"
[ ${#as_user[@]} -eq 0 ] || chown 65534:65534 "$work/unpacked"
chmod 755 "$work"
if "${as_user[@]}" tar -C "$work/unpacked" -xzf "$work/symbols.tar.gz" &&
  "${as_user[@]}" sh -c 'find "$1" -type f | grep -q . && find "$1" -type f -exec cat {} + >/dev/null' - "$work/unpacked/symbols"; then
  ok "an ordinary user unpacks the symbols archive and reads every file"
else
  bad "an ordinary user cannot read the unpacked symbols archive"
fi

# Two clones: the second has more objects and a tag of its own.
commit=$(git -C "$source_dir" rev-parse HEAD)
for clone in a b; do
  git clone -q --no-local "$source_dir" "$work/$clone" && git -C "$work/$clone" checkout -q "$commit" ||
    { bad "cloning $source_dir"; exit 1; }
done
git -C "$work/b" tag local-only "$commit~1" 2>/dev/null || git -C "$work/b" tag local-only "$commit"
for clone in a b; do
  (cd "$work/$clone" && "$tools/release-notes.sh" "$commit" 9.9.9.9) >"$work/notes-$clone.txt" ||
    bad "release notes in clone $clone"
done
# The notes leave merges out: the newest commit they name is the newest
# one that is not a merge (HEAD itself may be a merge).
newest=$(git -C "$source_dir" log -1 --no-merges --format=%H "$commit")
if cmp -s "$work/notes-a.txt" "$work/notes-b.txt" && grep -q "($(cut -c1-12 <<<"$newest"))" "$work/notes-a.txt"; then
  ok "two clones give the same release notes, naming the commit"
else
  bad "the release notes differ between clones, or lack the commit:"; diff "$work/notes-a.txt" "$work/notes-b.txt"
fi
exit $failed
