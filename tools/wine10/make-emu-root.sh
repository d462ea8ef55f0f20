#!/bin/bash
# Makes, once per machine, the root in which 32-bit programs run emulated
# where the machine cannot run 32-bit x86 code itself: a copy of the Wine 10
# root with Debian 13's qemu-user and the 32-bit loader (wine32:i386, of the
# same version as libwine) added. run.sh then sends i386 ELF executables to
# qemu-i386 through a binfmt_misc entry of the run's own user namespace.
# The native root is never touched.
#
# Built aside and renamed into place when complete; idempotent: a root made
# by this recipe from the current native root is left alone.
#
# usage: make-emu-root.sh     (place: $Q5_WINE10_EMU_ROOT or /opt/q5/wine10-emu-root)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/root-place.sh"

recipe=1
[ -f "$Q5_WINE10_ROOT/.q5-root" ] || { echo "make-emu-root: no Wine 10 root at $Q5_WINE10_ROOT (make-root.sh first)" >&2; exit 1; }
# A new native root (its recipe number) makes the copy stale too.
stamp="emu$recipe native$(cat "$Q5_WINE10_ROOT/.q5-root")"
[ -f "$Q5_WINE10_EMU_ROOT/.q5-emu-root" ] && [ "$(cat "$Q5_WINE10_EMU_ROOT/.q5-emu-root")" = "$stamp" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
echo "make-emu-root: building the emulated 32-bit root in $Q5_WINE10_EMU_ROOT (a few minutes, once per machine)"
parent=$(dirname "$Q5_WINE10_EMU_ROOT")
work="$Q5_WINE10_EMU_ROOT.building"
log="$parent/$(basename "$Q5_WINE10_EMU_ROOT").build.log"
$SUDO mkdir -p "$parent"
$SUDO rm -rf "$work"
: >"$log"
$SUDO cp -a "$Q5_WINE10_ROOT" "$work"
$SUDO rm -f "$work/.q5-emu-root"

version=$(in_work dpkg-query -W -f='${Version}' libwine:amd64)
echo "make-emu-root: qemu-user and wine32:i386 $version"
in_work apt-get update -qq >>"$log" 2>&1
# qemu-user alone: qemu-user-binfmt would register its entries on the host.
in_work apt-get install -y -qq --no-install-recommends qemu-user "wine32:i386=$version" "libwine:i386=$version" >>"$log" 2>&1 || {
  echo "make-emu-root: installing qemu-user and wine32:i386 failed, see $log" >&2; exit 1; }
in_work apt-get clean >>"$log" 2>&1
for f in usr/libexec/qemu-binfmt/i386-binfmt-P usr/lib/wine/wine; do
  [ -e "$work/$f" ] || { echo "make-emu-root: /$f missing in the emulated root" >&2; exit 1; }
done

echo "$stamp" | $SUDO tee "$work/.q5-emu-root" >/dev/null
$SUDO rm -rf "$Q5_WINE10_EMU_ROOT"
$SUDO mv "$work" "$Q5_WINE10_EMU_ROOT"
echo "make-emu-root: done"
