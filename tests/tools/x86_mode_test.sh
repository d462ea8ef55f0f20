#!/bin/bash
# How a run's 32-bit programs run: the decision from its findings, table by
# table row, then each forced mode on this machine with a real 32-bit
# program (Wine's own 32-bit cmd) started through tools/wine10/run.sh, and
# what make test and make fuzz do when the finding stops or leaves 32-bit
# programs out.
# Exit code 0 all held, 1 something did not, 77 the forced runs could not
# be made (no emulated root on this machine).
set -u
here=$(cd "$(dirname "$0")" && pwd)
checkout=$(cd "$here/../.." && pwd)
. "$checkout/tools/wine10/x86-mode.sh"
failed=0
check() {  # check WHAT GOT WANTED-PATTERN
  if [[ "$2" == $3 ]]; then echo "ok: $1"; else echo "FAIL: $1: got \"$2\", wanted $3"; failed=$((failed + 1)); fi
}
# Nested in make test's own forced failing trial below, this script would
# start make test again.
[ -n "${Q5_X86_TRIAL_PROGRAM:-}" ] && { echo "skipped: started by a forced failing trial"; exit 77; }

# forced | CPU runs 32-bit code | native trial | emulated trial | kernel has per-namespace binfmt_misc | wanted
native_fails="a 32-bit program did not start"
while IFS='|' read -r forced cpu native emulated kernel wanted; do
  check "decide forced='$forced' cpu=$cpu native='$native' emulated='$emulated' kernel=$kernel" \
    "$(q5_x86_decide "$forced" "$cpu" "$native" "$emulated" "$kernel")" "$wanted"
done <<EOF
native|no|-|-|no|native|forced by Q5_X86_MODE=native
emulated|yes|-|-|no|emulated|forced by Q5_X86_MODE=emulated
none|yes|ok|ok|yes|none|forced by Q5_X86_MODE=none
qemu|yes|ok|-|yes|fail|Q5_X86_MODE=qemu is none of *
|yes|ok|-|yes|native|*WoW64*
|yes|ok|-|no|native|*WoW64*
|yes|$native_fails|-|yes|fail|this CPU runs 32-bit code, yet $native_fails
|yes|$native_fails|ok|yes|fail|this CPU runs 32-bit code, yet $native_fails
|no|-|ok|yes|emulated|this CPU runs no 32-bit code; qemu-i386*
|no|-|no emulated root at /x|yes|none|this CPU runs no 32-bit code; and emulated: no emulated root at /x
|no|-|-|no|none|this CPU runs no 32-bit code, and this kernel gives a user namespace no binfmt_misc*
EOF

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# Each command below finds the mode itself, as on a fresh run.
unfound() { env -u Q5_X86_RUNS -u Q5_X86_WHY -u Q5_X86_MODE -u Q5_X86_FOUND "$@"; }

# Where this machine runs 32-bit code, a native trial that fails (here: its
# program does not exist) stops make test, the build aside, with the
# trial's output, rather than passing a run that skipped every 32-bit test.
if q5_cpu_runs_x86; then
  rc=0
  unfound Q5_X86_TRIAL_PROGRAM='C:\windows\syswow64\q5-no-such-program.exe' \
    timeout 300 "$checkout/tools/test.sh" >"$scratch/test.log" 2>&1 || rc=$?
  check "make test, failing native trial: exit code" "$rc" 2
  check "make test, failing native trial: says why" "$(head -1 "$scratch/test.log")" \
    "32-bit programs: cannot tell how they run, so nothing runs: this CPU runs 32-bit code, yet $native_fails*"
  check "make test, failing native trial: shows the trial" "$(cat "$scratch/test.log")" "*the trial's output:*q5-no-such-program*"
else
  echo "skipped: make test with a failing native trial: this CPU runs no 32-bit code"
fi

# make fuzz BITS=32 where 32-bit programs cannot run: not made (2), and why.
rc=0
unfound Q5_X86_MODE=none "$checkout/tools/fuzz/fuzz.sh" --bits 32 --work "$scratch/fuzz" >"$scratch/fuzz.log" 2>&1 || rc=$?
check "fuzz --bits 32 in mode none: exit code" "$rc" 2
check "fuzz --bits 32 in mode none: says why" "$(cat "$scratch/fuzz.log")" "*leaves out the 32-bit server: 32-bit programs cannot run here*"

# Each forced mode on this machine: a 32-bit program starts natively
# exactly where the CPU runs 32-bit code, always emulated, never in none.
native_wanted=ok
q5_cpu_runs_x86 || native_wanted="$native_fails*"
check "forced native, 32-bit cmd" "$(q5_x86_trial native "$checkout")" "$native_wanted"
check "forced none, 32-bit cmd" "$(q5_x86_trial none "$checkout")" "$native_fails*"
if [ -f "$Q5_WINE10_EMU_ROOT/.q5-emu-root" ] && [ "$(q5_x86_kernel_ok)" = yes ]; then
  check "forced emulated, 32-bit cmd" "$(q5_x86_trial emulated "$checkout")" ok
else
  echo "skipped: forced emulated: no emulated root at $Q5_WINE10_EMU_ROOT or a kernel before 6.7"
  [ $failed -eq 0 ] && exit 77
fi
[ $failed -eq 0 ]
