#!/bin/bash
# The main job on its embedded default: a private Wine prefix under out/
# with both servers and both proxies registered and a simulated modem, then
# a short scenario per group of operations (tools/demo.d/*.sh, in name
# order). It runs under Wine 10 (tools/wine10), whose WoW64 mode runs the
# 32-bit programs beside the 64-bit ones; q5dmctl watch shows the trace of
# every server that COM starts.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f /.q5-root ]; then
  . "$root/tools/wine10/x86-mode.sh"
  q5_x86_mode "$root"
  q5_x86_line
  # Seen now and then as an emulated 32-bit process ends, after its exit
  # code is set (servers and clients still report 0): qemu, not ours.
  [ "$Q5_X86_RUNS" = emulated ] && echo "demo: a \"qemu: uncaught target signal 11\" line below comes from qemu-i386 as an emulated 32-bit process ends; its exit code is unaffected"
  [ "$Q5_X86_RUNS" = none ] && echo "demo: leaves out every step with a 32-bit program (q5dmsrv32, q5dmctl32, dmstub32, the three pairs with a 32-bit side): 32-bit programs cannot run here"
  # The elevation piece shows a consent window: on a virtual X server (the
  # root sees its socket) unless a display is there already.
  if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
    exec xvfb-run -a -s "-screen 0 1280x1024x24" "$root/tools/wine10/run.sh" bash "$root/tools/demo.sh" "$@"
  fi
  exec "$root/tools/wine10/run.sh" bash "$root/tools/demo.sh" "$@"
fi
export Q5_ROOT=$root
export Q5_BIN=$root/out/bin
export Q5_DEMO=$root/out/demo
export WINEPREFIX=$Q5_DEMO/prefix-wine10
export WINEDEBUG=-all
export Q5_WINESERVER=wineserver
mkdir -p "$Q5_DEMO"
# True where this run's 32-bit programs cannot run: the pieces leave their
# 32-bit steps out (said once, at the start).
q5_without_x86() { [ "$Q5_X86_RUNS" = none ]; }
# The prefix piece starts the watch and replaces this with its own end.
q5_stop_watch() { :; }
trap 'q5_stop_watch; "$Q5_WINESERVER" -k >/dev/null 2>&1 || true' EXIT
for piece in "$root"/tools/demo.d/*.sh; do
  [ -e "$piece" ] || continue
  # shellcheck source=/dev/null
  . "$piece"
done
