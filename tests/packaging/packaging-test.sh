#!/bin/bash
# The installer packages, as an administrator meets them: built from this
# build's deliverables, installed with msiexec under Wine 10, compared with
# the programs' own registration, used by a 64-bit and a 32-bit client,
# installed again, replaced by a rebuild and by a newer version, refused as
# a downgrade, and removed without a trace; built again, the same bytes, and
# built from changed files, other codes.
#
# usage: packaging-test.sh --build X64_BUILD_DIR --bin OUT_BIN_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build="" bin=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    *) echo "usage: $0 --build DIR --bin DIR" >&2; exit 2 ;;
  esac
done
[ -n "$build" ] && [ -n "$bin" ] || { echo "usage: $0 --build DIR --bin DIR" >&2; exit 2; }
build=$(cd "$build" && pwd) bin=$(cd "$bin" && pwd)
work=$build/packaging/run
state="python3 $here/prefix_state.py"
name64="Brisvale Tolvarin Modem DM COM Server (x64)"

. "$src/tools/wine10/x86-mode.sh"
q5_x86_mode "$src"
q5_x86_line

passed=0 failed=0 skipped=0
pass() { echo "ok: $1"; passed=$((passed + 1)); }
# without_x86 WHAT: true, and WHAT skipped by name, where the check needs a
# 32-bit program and none can run in this run.
without_x86() {
  [ "$Q5_X86_RUNS" = none ] || return 1
  local why="32-bit programs cannot run here: $Q5_X86_WHY"
  echo "skipped: $1 ($why)"; skipped=$((skipped + 1))
  # For make test's closing summary, beside the test programs' skips.
  printf 'packaging_test\t%s\t%s\n' "$1" "$why" >>"$(dirname "$build")/wine10/skipped.txt"
}
flunk() { echo "FAIL: $1"; [ -n "${2:-}" ] && sed 's/^/    /' <<<"$2"; failed=$((failed + 1)); }
# expect_rc STEP CODE WHAT
expect_rc() {
  local rc; rc=$(cat "$work/$1.rc" 2>/dev/null || echo missing)
  if [ "$rc" = "$2" ]; then pass "$3"; else flunk "$3 (exit code $rc, wanted $2)" "$(tail -n 20 "$work/$1.out" 2>/dev/null)"; fi
}
# expect_call STEP WHAT: q5dmctl got an HRESULT back from the server.
expect_call() {
  local rc; rc=$(cat "$work/$1.rc" 2>/dev/null || echo missing)
  if [ "$rc" = 0 ] && grep -q S_FALSE "$work/$1.out"; then pass "$2"; else flunk "$2 (exit code $rc)" "$(cat "$work/$1.out" 2>/dev/null)"; fi
}
# expect_empty WHAT COMMAND...: the command finds no difference.
expect_empty() {
  local what=$1 out; shift
  if out=$("$@" 2>&1); then pass "$what"; else flunk "$what" "$out"; fi
}
# expect_one STEP VERSION WHAT: one uninstall entry of the x64 package.
expect_one() {
  local found; found=$($state entries "$work/$1.out" | grep -F "$name64|" || true)
  if [ "$found" = "$name64|$2" ]; then pass "$3"; else flunk "$3" "entries found: ${found:-none}"; fi
}

# --- packages: the shipped version, a rebuild of it, a newer version --------
# The prefixes under it are root's (Wine runs as root, through sudo for a
# user): removed on the root side.
"$src/tools/wine10/run.sh" rm -rf "$work" </dev/null
mkdir -p "$work/pkg"
for arch in x64 x86; do
  python3 "$src/tools/packaging/make_msi.py" --arch $arch --bin "$bin" --out "$work/pkg/first" >/dev/null || exit 1
done
# The same version built from another commit: another product code, which
# replaces the first as a newer version would.
python3 "$src/tools/packaging/make_msi.py" --arch x64 --bin "$bin" --out "$work/pkg/twin" \
  --commit "another commit" --time "$(git -C "$src" show -s --format=%ct HEAD)" >/dev/null || exit 1
python3 "$src/tools/packaging/make_msi.py" --arch x64 --bin "$bin" --out "$work/pkg/newer" --version 1.9.3.0 >/dev/null || exit 1

# --- the codes follow what a package is made of --------------------------
# Built again from the same files: the same bytes. Built from files of which
# one changed (a byte added to the server), version and commit the same:
# another package and product code, so that Windows Installer does not take
# it for the package already installed; the upgrade code stays.
mkdir -p "$work/changed" && cp -r "$bin/." "$work/changed/" && printf '\0' >>"$work/changed/q5dmsrv64.exe"
for from in "$bin:again" "$work/changed:changed"; do
  python3 "$src/tools/packaging/make_msi.py" --arch x64 --bin "${from%:*}" --out "$work/pkg/${from##*:}" >/dev/null || exit 1
done
package_code() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'; }
property() { msiinfo export "$1" Property | tr -d '\r' | awk -v n="$2" '$1 == n { print $2 }'; }
# expect_codes WHAT SAME|DIFFER A B
expect_codes() {
  local got=DIFFER
  [ "$3" = "$4" ] && got=SAME
  if [ -n "$3" ] && [ -n "$4" ] && [ "$got" = "$2" ]; then pass "$1"; else flunk "$1 ($3, $4)"; fi
}
if cmp -s "$work/pkg/first/q5dm-x64.msi" "$work/pkg/again/q5dm-x64.msi"; then pass "same files, same package bytes"
else flunk "same files, same package bytes"; fi
first=$work/pkg/first/q5dm-x64.msi changed=$work/pkg/changed/q5dm-x64.msi
expect_codes "changed files: another package code" DIFFER "$(package_code "$first")" "$(package_code "$changed")"
expect_codes "changed files: another product code" DIFFER "$(property "$first" ProductCode)" "$(property "$changed" ProductCode)"
expect_codes "changed files: the same upgrade code" SAME "$(property "$first" UpgradeCode)" "$(property "$changed" UpgradeCode)"

# --- the booted Wine 10 template that both build trees' tests share
template=$(dirname "$build")/wine10/template
"$src/tools/wine10/run.sh" "$src/tests/support/wine-template.sh" "$template" || exit 1

"$src/tools/wine10/run.sh" \
  bash "$here/wine-steps.sh" "$work" "$template" "$bin" >"$work/steps.log" 2>&1

# --- x64 package ------------------------------------------------------------
expect_rc x64-install 0 "x64 package installs"
expect_rc x64-cmp 0 "x64 package carries this build's files"
without_x86 "x64 package registers what the programs register (exports, both views)" ||
expect_empty "x64 package registers what the programs register (exports, both views)" \
  $state exports "$work/x64-exports" "$work/x64-self-exports"
without_x86 "x64 package writes nothing else into the classes of either view" ||
expect_empty "x64 package writes nothing else into the classes of either view" \
  $state classes "$work/x64-installed" "$work/x64-self-saved"
expect_rc x64-self-server 0 "q5dmsrv64 /RegServer"
expect_call x64-use64 "64-bit client calls the installed server"
without_x86 "32-bit client calls the installed server" ||
expect_call x64-use32 "32-bit client calls the installed server"
expect_rc x64-again 0 "same package installs twice"
expect_one x64-again-entries 1.9.2.1 "same package twice: one copy"
expect_call x64-again-use64 "same package twice: 64-bit client"
expect_rc x64-twin 0 "a rebuild of the same version installs"
expect_one x64-twin-entries 1.9.2.1 "rebuild of the same version: one copy"
expect_call x64-twin-use64 "rebuild of the same version: 64-bit client"
expect_rc x64-upgrade 0 "newer version installs over the older"
expect_one x64-upgrade-entries 1.9.3.0 "major upgrade: one copy"
expect_call x64-upgrade-use64 "major upgrade: 64-bit client"
without_x86 "major upgrade: 32-bit client" ||
expect_call x64-upgrade-use32 "major upgrade: 32-bit client"
# ERROR_INSTALL_FAILURE (1603) reaches Linux as its low byte.
expect_rc x64-downgrade $((1603 & 255)) "older version refused over the newer"
expect_one x64-downgrade-entries 1.9.3.0 "refused downgrade keeps the newer copy"
expect_rc x64-remove 0 "x64 package removes"
expect_empty "x64 removal leaves nothing in the registry files or drive_c" \
  $state removal "$work/before" "$work/x64-removed" "$work/control-saved"

# --- x86 package ------------------------------------------------------------
expect_rc x86-install 0 "x86 package installs (into a folder without a space)"
without_x86 "x86 package registers what the programs register (exports, both views)" ||
expect_empty "x86 package registers what the programs register (exports, both views)" \
  $state exports "$work/x86-exports" "$work/x86-self-exports"
without_x86 "x86 package writes nothing else into the classes of either view" ||
expect_empty "x86 package writes nothing else into the classes of either view" \
  $state classes "$work/x86-installed" "$work/x86-self-saved"
without_x86 "32-bit client calls the installed 32-bit server" ||
expect_call x86-use32 "32-bit client calls the installed 32-bit server"
expect_rc x86-remove 0 "x86 package removes"
expect_empty "x86 removal leaves nothing in the registry files or drive_c" \
  $state removal "$work/before" "$work/x86-removed" "$work/control-saved"

echo "packaging: $passed passed, $failed failed, $skipped skipped"
if [ $failed -eq 0 ]; then "$src/tools/wine10/run.sh" rm -rf "$work" </dev/null; else echo "packaging: kept $work (steps.log)"; fi
[ $failed -eq 0 ]
