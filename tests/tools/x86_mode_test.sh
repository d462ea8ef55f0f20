#!/bin/bash
# How a run's 32-bit programs run: the decision from its findings, table by
# table row, then each forced mode on this machine with a real 32-bit
# program (Wine's own 32-bit cmd) started through tools/wine10/run.sh.
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

# forced | native trial | emulated trial | kernel has per-namespace binfmt_misc | wanted
native_fails="a 32-bit program did not start"
while IFS='|' read -r forced native emulated kernel wanted; do
  check "decide forced='$forced' native='$native' emulated='$emulated' kernel=$kernel" \
    "$(q5_x86_decide "$forced" "$native" "$emulated" "$kernel")" "$wanted"
done <<EOF
native|-|-|no|native|forced by Q5_X86_MODE=native
emulated|-|-|no|emulated|forced by Q5_X86_MODE=emulated
none|ok|ok|yes|none|forced by Q5_X86_MODE=none
qemu|ok|-|yes|none|Q5_X86_MODE=qemu is none of *
|ok|-|yes|native|*WoW64*
|ok|-|no|native|*WoW64*
|$native_fails|ok|yes|emulated|$native_fails; qemu-i386*
|$native_fails|no emulated root at /x|yes|none|$native_fails; and emulated: no emulated root at /x
|$native_fails|-|no|none|$native_fails; and this kernel gives a user namespace no binfmt_misc*
EOF

# Each forced mode on this machine: a 32-bit program starts natively
# exactly where the CPU runs 32-bit code, always emulated, never in none.
native_wanted=ok
python3 "$checkout/tools/wine10/cpu-runs-x86.py" || native_wanted="a 32-bit program did not start*"
check "forced native, 32-bit cmd" "$(q5_x86_trial native "$checkout")" "$native_wanted"
check "forced none, 32-bit cmd" "$(q5_x86_trial none "$checkout")" "a 32-bit program did not start*"
if [ -f "$Q5_WINE10_EMU_ROOT/.q5-emu-root" ] && [ "$(q5_x86_kernel_ok)" = yes ]; then
  check "forced emulated, 32-bit cmd" "$(q5_x86_trial emulated "$checkout")" ok
else
  echo "skipped: forced emulated: no emulated root at $Q5_WINE10_EMU_ROOT or a kernel before 6.7"
  [ $failed -eq 0 ] && exit 77
fi
[ $failed -eq 0 ]
