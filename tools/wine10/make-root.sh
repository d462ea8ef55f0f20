#!/bin/bash
# Makes, once per machine, the Debian 13 root in which Wine 10 runs 32- and
# 64-bit Windows programs in its WoW64 mode, from Debian's packages only:
# debootstrap, wine64 and libwine inside, and the i386 PE folder of
# libwine:i386 merged into the 64-bit Wine's i386-windows folder (no 32-bit
# loader, so Wine takes the WoW64 path).
#
# The root is built aside and renamed into place when complete, so an
# interrupted run leaves nothing that looks usable; running it again starts
# the half-built root afresh. Idempotent: a complete root is left alone.
#
# usage: make-root.sh            (place: $Q5_WINE10_ROOT or /opt/q5/wine10-root)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/root-place.sh"

# Bumped when the recipe changes, so older roots are made anew.
recipe=3
[ -f "$Q5_WINE10_ROOT/.q5-root" ] && [ "$(cat "$Q5_WINE10_ROOT/.q5-root")" = "$recipe" ] && exit 0

mirror=${Q5_DEBIAN_MIRROR:-http://deb.debian.org/debian}
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
command -v debootstrap >/dev/null 2>&1 || {
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
}

echo "make-root: building the Wine 10 root in $Q5_WINE10_ROOT (a few minutes, once per machine)"
parent=$(dirname "$Q5_WINE10_ROOT")
$SUDO mkdir -p "$parent"
work="$Q5_WINE10_ROOT.building"
log="$parent/$(basename "$Q5_WINE10_ROOT").build.log"
$SUDO rm -rf "$work"
: >"$log"

step() { echo "make-root: $*"; }
step "debootstrap trixie"
$SUDO debootstrap --variant=minbase trixie "$work" "$mirror" >>"$log" 2>&1 || {
  echo "make-root: debootstrap failed, see $log" >&2; exit 1; }

step "wine64 and libwine"
in_work apt-get update -qq >>"$log" 2>&1
in_work apt-get install -y -qq --no-install-recommends wine64 libwine >>"$log" 2>&1 || {
  echo "make-root: installing wine64 failed, see $log" >&2; exit 1; }

step "i386 PE files of libwine:i386"
in_work dpkg --add-architecture i386 >>"$log" 2>&1
in_work apt-get update -qq >>"$log" 2>&1
in_work bash -c 'cd /tmp && rm -rf libwine-i386 && mkdir libwine-i386 && cd libwine-i386 &&
  apt-get download libwine:i386 && dpkg -x libwine_*_i386.deb unpacked' >>"$log" 2>&1 || {
  echo "make-root: fetching libwine:i386 failed, see $log" >&2; exit 1; }
pe32=usr/lib/i386-linux-gnu/wine/i386-windows
pe64dir=usr/lib/x86_64-linux-gnu/wine/i386-windows
[ -d "$work/tmp/libwine-i386/unpacked/$pe32" ] || { echo "make-root: no $pe32 in libwine:i386" >&2; exit 1; }
# Merged, never replaced: libwine's own install put files there (zlib1.dll)
# that the i386 package does not carry.
$SUDO mkdir -p "$work/$pe64dir"
$SUDO cp -an "$work/tmp/libwine-i386/unpacked/$pe32/." "$work/$pe64dir/"
$SUDO rm -rf "$work/tmp/libwine-i386"
in_work apt-get clean >>"$log" 2>&1

# The commands our scripts call, as Debian's wine package would name them.
shim() {
  printf '#!/bin/sh\nexec %s "$@"\n' "$2" | $SUDO tee "$work/usr/local/bin/$1" >/dev/null
  $SUDO chmod 755 "$work/usr/local/bin/$1"
}
$SUDO mkdir -p "$work/usr/local/bin"
shim wine /usr/lib/wine/wine64
shim wine64 /usr/lib/wine/wine64
shim wineserver /usr/lib/wine/wineserver
shim wineboot "/usr/lib/wine/wine64 wineboot"
shim msiexec "/usr/lib/wine/wine64 msiexec"
shim regsvr32 "/usr/lib/wine/wine64 regsvr32"

[ -x "$work/usr/lib/wine/wine64" ] || { echo "make-root: no /usr/lib/wine/wine64 in the root" >&2; exit 1; }
[ -f "$work/$pe64dir/kernel32.dll" ] || { echo "make-root: i386 kernel32.dll missing after the merge" >&2; exit 1; }

echo "$recipe" | $SUDO tee "$work/.q5-root" >/dev/null
$SUDO rm -rf "$Q5_WINE10_ROOT"
$SUDO mv "$work" "$Q5_WINE10_ROOT"
step "done"
