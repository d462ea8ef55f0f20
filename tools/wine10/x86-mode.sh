#!/bin/bash
# Sourced: how this run's 32-bit Windows programs run.
#
#   native    Wine 10's WoW64 mode runs them on the CPU (where the machine
#             runs 32-bit x86 code: the fastest and the closest to Windows)
#   emulated  the emulated root's 32-bit Wine loader runs them under
#             qemu-i386 (where the machine runs no 32-bit code)
#   none      they cannot run: their run-time tests are skipped, and the
#             demo, gallery, bench and fuzz run leave them out
#
# q5_x86_mode finds the mode once per run (the CPU asked whether it runs
# 32-bit code, then a 32-bit program started under Wine in the mode that
# should work) and exports Q5_X86_RUNS and Q5_X86_WHY, which later commands
# of the run, run.sh and the test programs read instead of finding it again.
# Q5_X86_MODE=native|emulated|none forces a mode. A machine that runs 32-bit
# code but whose native trial fails stops the run: skipping every 32-bit test
# there would pass a run that tested nothing of them.
#
# Run as a script: x86-mode.sh --keep FILE CHECKOUT finds the mode and keeps
# it in FILE, which q5_x86_mode reads when Q5_X86_FOUND names it (one finding
# per ctest run, shared by all its programs).
q5_wine10_tools=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$q5_wine10_tools/root-place.sh"

# The one probe of the CPU itself (make deps asks it too): true where this
# machine runs 32-bit x86 code.
q5_cpu_runs_x86() { python3 "$q5_wine10_tools/cpu-runs-x86.py"; }

# q5_x86_decide FORCED CPU NATIVE EMULATED KERNEL_OK
#   CPU: "yes" when the CPU runs 32-bit code; NATIVE, EMULATED: "ok", "-"
#   (not tried) or the reason the trial failed; KERNEL_OK: "yes" when the
#   kernel gives a user namespace a binfmt_misc of its own. Prints
#   "MODE|REASON", MODE "fail" when the run must stop.
q5_x86_decide() {
  local forced=$1 cpu=$2 native=$3 emulated=$4 kernel=$5
  case "$forced" in
    native|emulated|none) echo "$forced|forced by Q5_X86_MODE=$forced"; return ;;
    "") ;;
    *) echo "fail|Q5_X86_MODE=$forced is none of native, emulated, none"; return ;;
  esac
  if [ "$cpu" = yes ]; then
    if [ "$native" = ok ]; then echo "native|Wine 10's WoW64 mode runs 32-bit code on this CPU"
    else echo "fail|this CPU runs 32-bit code, yet $native"; fi
    return
  fi
  local refused="this CPU runs no 32-bit code"
  if [ "$kernel" != yes ]; then
    echo "none|$refused, and this kernel gives a user namespace no binfmt_misc of its own (Linux 6.7 or later), which the emulation needs"
  elif [ "$emulated" = ok ]; then
    echo "emulated|$refused; qemu-i386 in the emulated root runs them instead"
  else
    echo "none|$refused; and emulated: $emulated"
  fi
}

# Linux 6.7 gave each user namespace a binfmt_misc of its own.
q5_x86_kernel_ok() {
  local v; v=$(uname -r)
  local major=${v%%.*} rest=${v#*.}
  local minor=${rest%%[!0-9]*}
  if [ "$major" -gt 6 ] || { [ "$major" -eq 6 ] && [ "$minor" -ge 7 ]; }; then echo yes; else echo no; fi
}

# q5_x86_trial MODE CHECKOUT [LOG]: starts a 32-bit program (Wine's own
# 32-bit cmd, which ends with a code of its choosing) in a throwaway layer
# over the checkout's template prefix; prints "ok" or why not, and leaves
# the trial's output in LOG. Wine's occasional start-up failure ("failed to
# map the shared user data") is tried again, twice at most.
# Q5_X86_TRIAL_PROGRAM names another program, for the test scripts' forced
# failing trial.
q5_x86_trial() {
  local mode=$1 checkout=$2 log=${3:-/dev/null}
  if [ "$mode" = emulated ] && [ ! -f "$Q5_WINE10_EMU_ROOT/.q5-emu-root" ]; then
    echo "no emulated root at $Q5_WINE10_EMU_ROOT (tools/wine10/make-emu-root.sh makes it)"; return
  fi
  local program=${Q5_X86_TRIAL_PROGRAM:-'C:\windows\syswow64\cmd.exe'}
  mkdir -p "$checkout/build/wine10"
  local attempt rc
  for attempt in 1 2 3; do
    rc=0
    # The layer lies inside the checkout (the root sees it at the same
    # path) and is made and removed on the root side, whose files it holds.
    Q5_X86_RUNS=$mode Q5_X86_WHY=trial "$checkout/tools/wine10/run.sh" bash -c '
      "$1/tests/support/wine-template.sh" "$2" || exit 3
      layer=$(mktemp -d "$1/build/wine10/x86-trial.XXXXXX") || exit 3
      p=$layer/prefix
      trap '\''umount "$p" 2>/dev/null; rm -rf "$layer"'\'' EXIT
      mkdir -p "$p" "$layer/upper" "$layer/work"
      mount -t overlay overlay -o "lowerdir=$2,upperdir=$layer/upper,workdir=$layer/work" "$p" 2>/dev/null || cp -a "$2/." "$p/"
      WINEPREFIX=$p WINEDEBUG=-all timeout 120 wine "$3" /c exit 57 </dev/null
      rc=$?
      WINEPREFIX=$p wineserver -k; WINEPREFIX=$p wineserver -w
      exit $rc' x86-trial "$checkout" "$checkout/build/wine10/template" "$program" >"$log" 2>&1 </dev/null || rc=$?
    [ $rc -eq 57 ] && { echo ok; return; }
    grep -q "failed to map the shared user data" "$log" 2>/dev/null || break
  done
  if [ "$mode" != emulated ]; then echo "a 32-bit program did not start under Wine 10's WoW64 mode (exit code $rc)"
  else echo "a 32-bit program did not start under qemu-i386 in $Q5_WINE10_EMU_ROOT (exit code $rc)"
  fi
}

# q5_x86_mode CHECKOUT: exports Q5_X86_RUNS and Q5_X86_WHY for the run, or
# ends the caller (exit code 2, the run not made) saying why, with the
# failed trial's output.
q5_x86_mode() {
  [ -n "${Q5_X86_RUNS:-}" ] && return 0
  if [ -n "${Q5_X86_FOUND:-}" ] && [ -s "$Q5_X86_FOUND" ]; then
    { read -r Q5_X86_RUNS; read -r Q5_X86_WHY; } <"$Q5_X86_FOUND"
    export Q5_X86_RUNS Q5_X86_WHY
    return 0
  fi
  local checkout=$1 cpu=no native=- emulated=- kernel found log
  kernel=$(q5_x86_kernel_ok)
  log=$(mktemp)
  if [ -z "${Q5_X86_MODE:-}" ]; then
    q5_cpu_runs_x86 && cpu=yes
    if [ $cpu = yes ]; then native=$(q5_x86_trial native "$checkout" "$log")
    elif [ "$kernel" = yes ]; then emulated=$(q5_x86_trial emulated "$checkout" "$log"); fi
  fi
  found=$(q5_x86_decide "${Q5_X86_MODE:-}" "$cpu" "$native" "$emulated" "$kernel")
  if [ "${found%%|*}" = fail ]; then
    { echo "32-bit programs: cannot tell how they run, so nothing runs: ${found#*|}"
      [ -s "$log" ] && { echo "--- the trial's output:"; cat "$log"; echo "---"; }
    } >&2
    rm -f "$log"
    exit 2
  fi
  rm -f "$log"
  Q5_X86_RUNS=${found%%|*} Q5_X86_WHY=${found#*|}
  export Q5_X86_RUNS Q5_X86_WHY
}

# The one line a command prints at its start.
q5_x86_line() { echo "32-bit programs: $Q5_X86_RUNS ($Q5_X86_WHY)"; }

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  [ "${1:-}" = --keep ] && [ $# -eq 3 ] || { echo "usage: $0 --keep FILE CHECKOUT" >&2; exit 2; }
  rm -f "$2"
  Q5_X86_FOUND=""
  q5_x86_mode "$3"
  q5_x86_line
  mkdir -p "$(dirname "$2")"
  printf '%s\n%s\n' "$Q5_X86_RUNS" "$Q5_X86_WHY" >"$2"
fi
