# Sourced: how this run's 32-bit Windows programs run.
#
#   native    Wine 10's WoW64 mode runs them on the CPU (where the machine
#             runs 32-bit x86 code: the fastest and the closest to Windows)
#   emulated  the emulated root's 32-bit Wine loader runs them under
#             qemu-i386 (where the machine runs no 32-bit code)
#   none      they cannot run: their run-time tests are skipped, and the
#             demo, gallery, bench and fuzz run leave them out
#
# q5_x86_mode finds the mode once per run (a 32-bit program started under
# Wine in each candidate mode) and exports Q5_X86_RUNS and Q5_X86_WHY, which
# later commands of the run, run.sh and the test programs read instead of
# finding it again. Q5_X86_MODE=native|emulated|none forces a mode.
. "$(dirname "${BASH_SOURCE[0]}")/root-place.sh"

# q5_x86_decide FORCED NATIVE EMULATED KERNEL_OK
#   NATIVE, EMULATED: "ok", "-" (not tried) or the reason the trial failed;
#   KERNEL_OK: "yes" when the kernel gives a user namespace a binfmt_misc of
#   its own. Prints "MODE|REASON".
q5_x86_decide() {
  local forced=$1 native=$2 emulated=$3 kernel=$4
  case "$forced" in
    native|emulated|none) echo "$forced|forced by Q5_X86_MODE=$forced"; return ;;
    "") ;;
    *) echo "none|Q5_X86_MODE=$forced is none of native, emulated, none"; return ;;
  esac
  if [ "$native" = ok ]; then echo "native|Wine 10's WoW64 mode runs 32-bit code on this CPU"; return; fi
  if [ "$kernel" != yes ]; then
    echo "none|$native; and this kernel gives a user namespace no binfmt_misc of its own (Linux 6.7 or later), which the emulation needs"
  elif [ "$emulated" = ok ]; then
    echo "emulated|$native; qemu-i386 in the emulated root runs them instead"
  else
    echo "none|$native; and emulated: $emulated"
  fi
}

# Linux 6.7 gave each user namespace a binfmt_misc of its own.
q5_x86_kernel_ok() {
  local v; v=$(uname -r)
  local major=${v%%.*} rest=${v#*.}
  local minor=${rest%%[!0-9]*}
  if [ "$major" -gt 6 ] || { [ "$major" -eq 6 ] && [ "$minor" -ge 7 ]; }; then echo yes; else echo no; fi
}

# q5_x86_trial MODE CHECKOUT: starts Wine's own 32-bit cmd, which ends with
# a code of its choosing, in a throwaway layer over the checkout's template
# prefix; prints "ok" or why not.
q5_x86_trial() {
  local mode=$1 checkout=$2
  if [ "$mode" = emulated ] && [ ! -f "$Q5_WINE10_EMU_ROOT/.q5-emu-root" ]; then
    echo "no emulated root at $Q5_WINE10_EMU_ROOT (tools/wine10/make-emu-root.sh makes it)"; return
  fi
  local template=$checkout/build/wine10/template
  mkdir -p "$checkout/build/wine10"
  # Inside the checkout: the root sees it at the same path.
  local layer; layer=$(mktemp -d "$checkout/build/wine10/x86-trial.XXXXXX")
  local rc=0
  Q5_X86_RUNS=$mode Q5_X86_WHY=trial "$checkout/tools/wine10/run.sh" bash -c '
    "$1/tests/support/wine-template.sh" "$2" || exit 3
    p=$3/prefix; mkdir -p "$p" "$3/upper" "$3/work"
    mount -t overlay overlay -o "lowerdir=$2,upperdir=$3/upper,workdir=$3/work" "$p" 2>/dev/null || cp -a "$2/." "$p/"
    WINEPREFIX=$p WINEDEBUG=-all timeout 120 wine "C:\\windows\\syswow64\\cmd.exe" /c exit 57 </dev/null
    rc=$?
    WINEPREFIX=$p wineserver -k; WINEPREFIX=$p wineserver -w
    umount "$p" 2>/dev/null; exit $rc' x86-trial "$checkout" "$template" "$layer" >/dev/null 2>&1 </dev/null || rc=$?
  rm -rf "$layer"
  if [ $rc -eq 57 ]; then echo ok
  elif [ "$mode" != emulated ]; then echo "a 32-bit program did not start under Wine 10's WoW64 mode"
  else echo "a 32-bit program did not start under qemu-i386 in $Q5_WINE10_EMU_ROOT"
  fi
}

# q5_x86_mode CHECKOUT: exports Q5_X86_RUNS and Q5_X86_WHY for the run.
q5_x86_mode() {
  [ -n "${Q5_X86_RUNS:-}" ] && return 0
  local checkout=$1 native=- emulated=- kernel found
  kernel=$(q5_x86_kernel_ok)
  if [ -z "${Q5_X86_MODE:-}" ]; then
    native=$(q5_x86_trial native "$checkout")
    [ "$native" != ok ] && [ "$kernel" = yes ] && emulated=$(q5_x86_trial emulated "$checkout")
  fi
  found=$(q5_x86_decide "${Q5_X86_MODE:-}" "$native" "$emulated" "$kernel")
  Q5_X86_RUNS=${found%%|*} Q5_X86_WHY=${found#*|}
  export Q5_X86_RUNS Q5_X86_WHY
}

# The one line a command prints at its start.
q5_x86_line() { echo "32-bit programs: $Q5_X86_RUNS ($Q5_X86_WHY)"; }
