#!/bin/bash
# The elevated activation end to end, through the elevation moniker
# stand-in (tests/platform/elevation): the client library's
# Elevation::Always path (q5elevclient) and q5dmctl --elevate, against
# servers registered by their own /RegServer and by each installer package,
# in the client/server pairs that each registration serves, answered "yes"
# and "no"; then two broken registrations. One prefix per registration
# source; the rows run inside the Wine 10 root (elevation-steps.sh) and are
# judged here.
#
# usage: elevation-test.sh X64_BUILD_DIR OUT_BIN_DIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
[ $# -eq 2 ] || { echo "usage: $0 X64_BUILD_DIR OUT_BIN_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd) bin=$(cd "$2" && pwd)
plat64=$build/tests/platform/bin
plat32=$(dirname "$build")/x86/tests/platform/bin
work=$build/elevation/run

. "$src/tools/wine10/x86-mode.sh"
q5_x86_mode "$src"
q5_x86_line

passed=0 failed=0 skipped=0
pass() { echo "ok: $1"; passed=$((passed + 1)); }
flunk() { echo "FAIL: $1"; [ -n "${2:-}" ] && sed 's/^/    /' <<<"$2"; failed=$((failed + 1)); }
skip() {
  echo "skipped: $1 ($2)"; skipped=$((skipped + 1))
  printf 'elevation_test\t%s\t%s\n' "$1" "$2" >>"$(dirname "$build")/wine10/skipped.txt"
}

for f in "$plat64/q5elevsrv.exe" "$plat64/q5elevmk64.dll" "$plat64/q5elevclient64.exe"; do
  [ -f "$f" ] || { echo "elevation: $f is missing (build the x64 tree)"; exit 1; }
done
if [ "$Q5_X86_RUNS" != none ]; then
  for f in "$plat32/q5elevmk32.dll" "$plat32/q5elevclient32.exe"; do
    [ -f "$f" ] || { echo "elevation: $f is missing (build the x86 tree first)"; exit 1; }
  done
fi

"$src/tools/wine10/run.sh" rm -rf "$work" </dev/null
mkdir -p "$work/pkg"
for arch in x64 x86; do
  python3 "$src/tools/packaging/make_msi.py" --arch $arch --bin "$bin" --out "$work/pkg" >/dev/null || exit 1
done
template=$(dirname "$build")/wine10/template
"$src/tools/wine10/run.sh" "$src/tests/support/wine-template.sh" "$template" || exit 1
# The consent window needs a display: a virtual one, whose socket the root sees.
xvfb-run -a -s "-screen 0 1280x1024x24" "$src/tools/wine10/run.sh" bash "$here/elevation-steps.sh" "$work" "$template" "$bin" "$plat64" "$plat32" \
  "$work/pkg" "$Q5_X86_RUNS" >"$work/steps.log" 2>&1 </dev/null

# has FILE TEXT: FILE holds TEXT as a whole line.
# Wine's programs end their lines with CR LF.
has() { tr -d '\r' <"$1" 2>/dev/null | grep -qxF -- "$2"; }
# What the client library passes: a BIND_OPTS3 (its size in the client's
# bitness), a local server of the asked-for bitness, the library's own
# invisible window as owner.
bind_line() {
  local size=48; [ "$1" = 32 ] && size=36
  local context=0x80004; [ "$2" = 32 ] && context=0x40004
  echo "cbStruct=$size.*dwClassContext=$context .*hwnd=0x[1-9A-F]"
}
show() { printf '%s\n--- record\n%s' "$(cat "$work/rows/$1.out" 2>/dev/null)" "$(cat "$work/rows/$1.record" 2>/dev/null)"; }

# miss WHAT: adds WHAT to the caller's list of what a row lacks.
miss() { why="${why:+$why, }$1"; }
# judge NAME TEXT: the row passes with TEXT when it lacks nothing.
judge() { if [ -z "$why" ]; then pass "$1: $2"; else flunk "$1: $why" "$(show "$1")"; fi; }

# expect_yes NAME CLIENT SERVER: the prompt named the answering server, the
# session opened and its call was served.
expect_yes() {
  local r=$work/rows/$1 why=""
  has "$r.out" "open: answered 0x00000000 S_OK" || miss "not opened"
  has "$r.out" "call: not deleted 0x00000001" || miss "call not served"
  has "$r.record" "bound in: the caller's process" || miss "not bound in the caller"
  grep -q -- "$(bind_line "$2" "$3")" "$r.record" || miss "bind options"
  tr -d '\r' <"$r.record" | grep -qixF "owner window: class \"Static\", invisible, the caller's process" ||
    miss "owner window"
  has "$r.record" "name shown: Driver Installation x$3" || miss "name shown"
  has "$r.record" "answer: yes" || miss "answer"
  judge "$1" "yes opens a session whose call is served"
}
# expect_no NAME SERVER: declined, nothing started, the prompt was shown.
expect_no() {
  local r=$work/rows/$1 why=""
  has "$r.out" "open: declined 0x800704C7 ERROR_CANCELLED" || miss "not declined"
  grep -q '^call:' "$r.out" && miss "a call was made"
  has "$r.record" "name shown: Driver Installation x$2" || miss "name shown"
  has "$r.record" "result: 0x800704C7" || miss "stand-in result"
  judge "$1" "no is Declined"
}
# expect_broken NAME LINE RESULT: refused before any prompt.
expect_broken() {
  local r=$work/rows/$1 why=""
  has "$r.out" "$2" || miss "open"
  grep -q '^answer:' "$r.record" && miss "a prompt was shown"
  has "$r.record" "result: $3" || miss "stand-in result"
  judge "$1" "refused with $3"
}

# expect_ctl NAME ANSWER: q5dmctl --elevate (not elevated under Wine, so
# through the moniker, with COM's choice of server: a plain local server).
expect_ctl() {
  local r=$work/rows/$1 why="" rc; rc=$(cat "$r.rc" 2>/dev/null || echo missing)
  grep -q 'dwClassContext=0x4 .*hwnd=0x[1-9A-F]' "$r.record" || miss "bind options"
  has "$r.record" "name shown: Driver Installation x64" || miss "name shown"
  has "$r.record" "answer: $2" || miss "answer"
  if [ "$2" = yes ]; then
    [ "$rc" = 0 ] && has "$r.out" "DeleteRegKey: not deleted (0x00000001 S_FALSE)" || miss "call not served"
  else
    [ "$rc" = 2 ] && has "$r.out" "q5dmctl: activation of the DM COM Server failed: 0x800704C7 ERROR_CANCELLED (declined)" ||
      miss "not declined (exit code $rc)"
  fi
  judge "$1" "q5dmctl --elevate, answered $2"
}

expect_rc() {
  local rc; rc=$(cat "$work/$1.rc" 2>/dev/null || echo missing)
  if [ "$rc" = 0 ]; then pass "$2"; else flunk "$2 (exit code $rc)" "$(tail -n 20 "$work/$1.out" 2>/dev/null)"; fi
}

expect_rc self-standin "the stand-in registers itself"
x86_why="32-bit programs cannot run here: ${Q5_X86_WHY:-}"
for reply in yes no; do
  for pair in 64-64 32-32 32-64 64-32 ; do
    c=${pair%-*} s=${pair#*-}
    if [ "$Q5_X86_RUNS" = none ] && [ "$pair" != 64-64 ]; then skip "self-$pair-$reply" "$x86_why"; continue; fi
    if [ $reply = yes ]; then expect_yes "self-$pair-$reply" $c $s; else expect_no "self-$pair-$reply" $s; fi
  done
  for pair in 64-64 32-64; do
    c=${pair%-*} s=${pair#*-}
    if [ "$Q5_X86_RUNS" = none ] && [ $c = 32 ]; then skip "msi64-$pair-$reply" "$x86_why"; continue; fi
    if [ $reply = yes ]; then expect_yes "msi64-$pair-$reply" $c $s; else expect_no "msi64-$pair-$reply" $s; fi
  done
  expect_ctl "self-ctl64-$reply" $reply
  if [ "$Q5_X86_RUNS" = none ]; then skip "msi86-32-32-$reply" "$x86_why"
  elif [ $reply = yes ]; then expect_yes "msi86-32-32-$reply" 32 32; else expect_no "msi86-32-32-$reply" 32; fi
done
# The stand-in's parsing: the documented form in any case and either run
# level is taken (and declined here); another run level, another form,
# anything after the class, a short class identifier are refused (the
# stand-in's MK_E_SYNTAX reaches the caller as Wine's MK_E_CANTOPENFILE); so
# are bind options that are not a BIND_OPTS3 or ask for another class
# context (E_INVALIDARG).
i=0
for want in 0x800704C7 0x800401EA 0x800401EA 0x800401EA 0x800401EA 0x80070057 0x80070057; do
  i=$((i + 1))
  if has "$work/rows/parse$i.out" "parse: $want"; then pass "stand-in parse row $i: $want"
  else flunk "stand-in parse row $i: wanted $want" "$(cat "$work/rows/parse$i.out" 2>/dev/null)"; fi
done
expect_broken broken-enabled "open: elevation not enabled 0x80080017 CO_E_ELEVATION_DISABLED" 0x80080017
expect_broken broken-name "open: elevation not enabled 0x80080015 CO_E_MISSING_DISPLAYNAME" 0x80080015

echo "elevation: $passed passed, $failed failed, $skipped skipped"
if [ $failed -eq 0 ]; then "$src/tools/wine10/run.sh" rm -rf "$work" </dev/null; else echo "elevation: kept $work (steps.log)"; fi
[ $failed -eq 0 ]
